#include "record.h"
#include "globals.h"

#include <oleauto.h>

#include <atomic>

#include "raii.h"
#include "text.h"

namespace kivo {

using Microsoft::WRL::ComPtr;

namespace {


CoTaskMemString ReadString(IPortableDeviceValues *values, REFPROPERTYKEY key) {
    CoTaskMemString text;
    if (FAILED(values->GetStringValue(key, text.Put()))) text.Reset();
    return text;
}

bool ReadBool(IPortableDeviceValues *values, REFPROPERTYKEY key, bool &out) {
    BOOL value = FALSE;
    if (FAILED(values->GetBoolValue(key, &value))) return false;
    out = value != FALSE;
    return true;
}

void ReadDate(IPortableDeviceValues *values, REFPROPERTYKEY key, FILETIME &field) {
    PropVariant date;
    if (SUCCEEDED(values->GetValue(key, date.Put()))) LocalDateToUtcFileTime(date.Get(), field);
}

DWORD ReadAttributes(IPortableDeviceValues *values) {
    DWORD attributes = 0;
    GUID contentType = GUID_NULL;
    if (FAILED(values->GetGuidValue(WPD_OBJECT_CONTENT_TYPE, &contentType))) contentType = GUID_NULL;
    if (IsEqualGUID(contentType, WPD_CONTENT_TYPE_FOLDER) || IsEqualGUID(contentType, WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    bool flag = false;
    if (ReadBool(values, WPD_OBJECT_ISHIDDEN, flag) && flag) attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (ReadBool(values, WPD_OBJECT_CAN_DELETE, flag) && !flag) attributes |= FILE_ATTRIBUTE_READONLY;
    if (ReadBool(values, WPD_OBJECT_ISSYSTEM, flag) && flag) attributes |= FILE_ATTRIBUTE_SYSTEM;
    return attributes;
}

}  // namespace

ComPtr<IPortableDeviceKeyCollection> MakeKeyCollection(std::initializer_list<const PROPERTYKEY *> wanted) {
    ComPtr<IPortableDeviceKeyCollection> keys;
    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceKeyCollection, IID_IPortableDeviceKeyCollection,
                                    reinterpret_cast<void **>(keys.GetAddressOf()))))
        return nullptr;
    for (const PROPERTYKEY *key : wanted) keys->Add(*key);
    return keys;
}

ComPtr<IPortableDeviceKeyCollection> MakeRecordKeys() {
    return MakeKeyCollection({&WPD_OBJECT_ID, &WPD_OBJECT_NAME, &WPD_OBJECT_ORIGINAL_FILE_NAME, &WPD_OBJECT_CONTENT_TYPE,
                              &WPD_OBJECT_ISHIDDEN, &WPD_OBJECT_CAN_DELETE, &WPD_OBJECT_ISSYSTEM, &WPD_OBJECT_DATE_CREATED,
                              &WPD_OBJECT_DATE_MODIFIED, &WPD_OBJECT_SIZE});
}

ComPtr<IPortableDeviceKeyCollection> MakeNameKeys() {
    return MakeKeyCollection({&WPD_OBJECT_ID, &WPD_OBJECT_NAME, &WPD_OBJECT_ORIGINAL_FILE_NAME});
}

ComPtr<IPortableDeviceValues> MakeDeviceValues() {
    ComPtr<IPortableDeviceValues> values;
    if (FAILED(CreatePlatformObject(CLSID_PortableDeviceValues, IID_IPortableDeviceValues,
                                reinterpret_cast<void **>(values.GetAddressOf()))))
        return nullptr;
    return values;
}

ComPtr<IPortableDeviceProperties> PropertiesOf(IPortableDeviceContent *content) {
    ComPtr<IPortableDeviceProperties> properties;
    if (!content || FAILED(content->Properties(properties.GetAddressOf()))) return nullptr;
    return properties;
}

namespace {

// LocalFileTimeToFileTime adds the bias in force now to whatever date it is
// given. Asking the system for that bias costs a call into the kernel, two
// per record of a listing, so the difference it makes is taken again only
// once a second: a change of zone or of daylight saving shows within one.
bool LocalToUtcDifference(LONGLONG &difference) {
    static std::atomic<ULONGLONG> takenAt{0};
    static std::atomic<LONGLONG> taken{0};
    const ULONGLONG now = GetTickCount64() | 1;  // never 0, which means "not yet"
    const ULONGLONG at = takenAt.load(std::memory_order_acquire);
    if (at != 0 && now - at < 1000) {
        difference = taken.load(std::memory_order_relaxed);
        return true;
    }
    // A date far from either end of the range, so that no bias overflows it.
    ULARGE_INTEGER reference{};
    reference.QuadPart = 0x01D6000000000000ull;
    FILETIME local{reference.LowPart, reference.HighPart}, utc{};
    if (!LocalFileTimeToFileTime(&local, &utc)) return false;
    ULARGE_INTEGER converted{};
    converted.LowPart = utc.dwLowDateTime;
    converted.HighPart = utc.dwHighDateTime;
    difference = static_cast<LONGLONG>(converted.QuadPart - reference.QuadPart);
    taken.store(difference, std::memory_order_relaxed);
    takenAt.store(now, std::memory_order_release);
    return true;
}

}  // namespace

BOOL LocalDateToUtcFileTime(const PROPVARIANT &date, FILETIME &utc) {
    if (date.vt != VT_DATE) return FALSE;
    SYSTEMTIME system{};
    FILETIME local{};
    if (!VariantTimeToSystemTime(date.date, &system)) return FALSE;
    if (!SystemTimeToFileTime(&system, &local)) return FALSE;
    LONGLONG difference = 0;
    if (!LocalToUtcDifference(difference)) return LocalFileTimeToFileTime(&local, &utc);
    ULARGE_INTEGER value{};
    value.LowPart = local.dwLowDateTime;
    value.HighPart = local.dwHighDateTime;
    value.QuadPart += static_cast<ULONGLONG>(difference);
    utc.dwLowDateTime = value.LowPart;
    utc.dwHighDateTime = value.HighPart;
    return TRUE;
}

BOOL ReadObjectRecord(const wchar_t *objectId, WIN32_FIND_DATAW &record, ComPtr<IPortableDeviceProperties> properties) {
    if (!properties) return FALSE;
    ComPtr<IPortableDeviceKeyCollection> keys = MakeRecordKeys();
    if (!keys) return FALSE;
    return ReadObjectRecord(objectId, record, std::move(properties), keys.Get());
}

BOOL ReadObjectRecord(const wchar_t *objectId, WIN32_FIND_DATAW &record, ComPtr<IPortableDeviceProperties> properties,
                      IPortableDeviceKeyCollection *keys) {
    return ReadObjectRecordChecked(objectId, record, std::move(properties), keys) == RecordRead::Read;
}

RecordRead ReadObjectRecordChecked(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                                   ComPtr<IPortableDeviceProperties> properties, IPortableDeviceKeyCollection *keys) {
    if (!properties || !keys) return RecordRead::Failed;
    ComPtr<IPortableDeviceValues> values;
    if (FAILED(properties->GetValues(objectId, keys, values.GetAddressOf())) || !values) return RecordRead::Failed;
    return RecordFromValues(values.Get(), record);
}

RecordRead ReadObjectRecordAndParent(const wchar_t *objectId, WIN32_FIND_DATAW &record,
                                     wchar_t (&parentId)[kObjectIdChars], ComPtr<IPortableDeviceProperties> properties) {
    ComPtr<IPortableDeviceKeyCollection> keys = MakeRecordKeys();
    if (!properties || !keys || FAILED(keys->Add(WPD_OBJECT_PARENT_ID))) return RecordRead::Failed;
    ComPtr<IPortableDeviceValues> values;
    if (FAILED(properties->GetValues(objectId, keys.Get(), values.GetAddressOf())) || !values) return RecordRead::Failed;
    CoTaskMemString parent = ReadString(values.Get(), WPD_OBJECT_PARENT_ID);
    if (!parent || !BoundedCopy(parentId, kObjectIdChars, parent.Get())) return RecordRead::DoesNotFit;
    return RecordFromValues(values.Get(), record);
}

RecordRead ChildRecordFromValues(IPortableDeviceValues *values, const wchar_t *id, WIN32_FIND_DATAW &record,
                                 bool nameRequired) {
    // The strings are read before the record is cleared: id may point into
    // it. An ID or name that does not fit is never cut into something that
    // could address another object: the object counts as unreadable.
    CoTaskMemString name = ReadString(values, WPD_OBJECT_ORIGINAL_FILE_NAME);
    if (!name) name = ReadString(values, WPD_OBJECT_NAME);
    if (!name && nameRequired) return RecordRead::Failed;
    if (id && !FitsBuffer(id, kObjectIdChars)) return RecordRead::DoesNotFit;
    if (name && !FitsBuffer(name.Get(), kPathChars)) return RecordRead::DoesNotFit;

    WIN32_FIND_DATAW filled{};
    if (id) BoundedCopy(filled.cAlternateFileName, kObjectIdChars, id);
    if (name) BoundedCopy(filled.cFileName, kPathChars, name.Get());
    filled.dwFileAttributes = ReadAttributes(values);
    ReadDate(values, WPD_OBJECT_DATE_MODIFIED, filled.ftLastWriteTime);
    filled.ftCreationTime = filled.ftLastWriteTime;
    ReadDate(values, WPD_OBJECT_DATE_CREATED, filled.ftCreationTime);
    ULONGLONG size = 0;
    if (SUCCEEDED(values->GetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, &size))) {
        filled.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        filled.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    }
    record = filled;
    return RecordRead::Read;
}

RecordRead RecordFromValues(IPortableDeviceValues *values, WIN32_FIND_DATAW &record, bool nameRequired) {
    CoTaskMemString id = ReadString(values, WPD_OBJECT_ID);
    return ChildRecordFromValues(values, id.Get(), record, nameRequired);
}

}  // namespace kivo
