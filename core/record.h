// The object record: a WIN32_FIND_DATAW that describes a device object the
// way FindFirstFileW describes a disk file, with the object's WPD ID in
// cAlternateFileName.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <wrl/client.h>

#include "core/text.h"
#include "platform/wpd.h"

namespace kivo {

// Fills record from the object's properties. The properties reference is
// consumed: it is released when the call returns, whatever the outcome.
// FALSE when the key collection cannot be made, the properties cannot be
// read, or the object's ID or name does not fit the record (an ID of 14 or
// more characters, a name of 260 or more); the record is then untouched.
// objectId may point into record itself.
BOOL ReadObjectRecord(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                      Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties);

// The same with a key collection made by MakeRecordKeys, which a listing
// makes once and reuses for every child instead of making one per object.
BOOL ReadObjectRecord(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                      Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties,
                      IPortableDeviceKeyCollection *keys);

// How reading a record ended: read, passed over because its ID or name
// does not fit, or failed (no keys, no properties, the device refused).
enum class RecordRead { Read, DoesNotFit, Failed };
RecordRead ReadObjectRecordChecked(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                                   Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties,
                                   IPortableDeviceKeyCollection *keys);

// The same read with the object's parent ID besides, for a caller that
// checks an object it knows by ID is still where it was found. A parent ID
// that is missing or does not fit counts as DoesNotFit.
RecordRead ReadObjectRecordAndParent(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                                     wchar_t (&parentId)[kObjectIdChars],
                                     Microsoft::WRL::ComPtr<IPortableDeviceProperties> properties);

// Which keys a listing reads: the whole record, or (for a name lookup)
// only the ID and the names, so that the record holds cFileName and
// cAlternateFileName and nothing else.
enum class RecordKeys { Whole, NamesOnly };

// The record from values read for the record keys (or the name keys).
// With nameRequired, values that hold neither name count as Failed and the
// record is untouched: a bulk read may say nothing of an object it could
// not describe.
RecordRead RecordFromValues(IPortableDeviceValues *values, WIN32_FIND_DATAW &record, bool nameRequired = false);

// The same for a child a listing enumerated: its ID is the one the listing
// has, not read again from the values.
RecordRead ChildRecordFromValues(IPortableDeviceValues *values, const wchar_t *id, WIN32_FIND_DATAW &record,
                                 bool nameRequired);

// A key collection of the given keys; null when it cannot be made.
Microsoft::WRL::ComPtr<IPortableDeviceKeyCollection> MakeKeyCollection(
    std::initializer_list<const PROPERTYKEY *> wanted);

// The ten keys an object record is read from, in order; null when the
// collection cannot be made.
Microsoft::WRL::ComPtr<IPortableDeviceKeyCollection> MakeRecordKeys();

// The three keys a name lookup compares and keeps: the ID and the two
// names; null when the collection cannot be made.
Microsoft::WRL::ComPtr<IPortableDeviceKeyCollection> MakeNameKeys();

// A fresh, empty IPortableDeviceValues; null when none can be made.
Microsoft::WRL::ComPtr<IPortableDeviceValues> MakeDeviceValues();

// A fresh IPortableDeviceProperties of the content; null when none can be had.
Microsoft::WRL::ComPtr<IPortableDeviceProperties> PropertiesOf(IPortableDeviceContent *content);

// Turns a VT_DATE in the host's local time into a UTC FILETIME, with the
// time-zone bias in force now. FALSE when the value is not a usable date.
BOOL LocalDateToUtcFileTime(const PROPVARIANT &date, FILETIME &utc);

}  // namespace kivo
