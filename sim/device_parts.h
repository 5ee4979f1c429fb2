// What the device-side classes of the simulated service share: the
// connection they were obtained through, the checks every call makes, the
// properties a new object is made from, and how one family makes another's
// objects. Each family lives in a file of its own: content and enumeration
// (content.cpp), properties and bulk reads (properties.cpp), resources and
// streams (streams.cpp), commands (commands.cpp), the manager and the device
// (device.cpp).
#pragma once

#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "com_object.h"

namespace sim {

inline const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
inline const HRESULT kNotConnected = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);

LPWSTR DupString(const std::wstring &text);
json ValuesToJson(IPortableDeviceValues *values);
std::optional<std::wstring> ReadString(IPortableDeviceValues *values, REFPROPERTYKEY key);

// One open connection to a device, shared by the objects obtained through it.
struct Connection {
    std::wstring pnpId;
    std::atomic<bool> open{false};
    std::atomic<bool> readOnly{false};  // opened asking for GENERIC_READ only
};
using ConnectionRef = std::shared_ptr<Connection>;
HRESULT CheckOpen(Call &call, const Connection &connection);
// A write on a connection opened for reading only is refused, as a device
// refuses it. (A read-only storage is CheckStorageWritable's.)
HRESULT CheckWritable(Call &call, const Connection &connection);
uint64_t TransferMicros(const Device *device, uint64_t bytes);

// The properties a new object is made from, read when its stream is opened.
struct NewObject {
    bool hasParent = false;
    std::wstring parentId;
    std::wstring name;
    std::optional<std::wstring> originalFileName;
    GUID contentType = WPD_CONTENT_TYPE_GENERIC_FILE;
    std::optional<GUID> format;
    std::optional<uint64_t> declaredSize;
    std::optional<double> created, modified;
    std::optional<VARTYPE> createdType, modifiedType;  // a date sent as another type
};

NewObject ReadNewObject(IPortableDeviceValues *values);
bool IsContainer(const Object &object);
// A new object of the device, from the properties it was created with; its
// data is empty until the caller gives it some.
Object MakeObject(Device &device, const Object &parent, const NewObject &properties, Kind kind);
Object &InsertObject(Device &device, Object object);

// The objects one family hands out for another.
HRESULT CreateContent(ConnectionRef connection, IPortableDeviceContent **out);
HRESULT CreateProperties(ConnectionRef connection, IPortableDeviceProperties **out);
HRESULT CreateResources(ConnectionRef connection, IPortableDeviceResources **out);
HRESULT CreateUploadStream(ConnectionRef connection, NewObject object, IStream **out);

// A fault rule's code that a command reports in its results instead of
// failing the call: in the common HRESULT, in every property's write
// result, or both. The properties are then left unchanged.
struct CommandOutcome {
    std::optional<HRESULT> code;
    std::string placement;
    bool InCommon() const { return code && placement != "write"; }
    bool InWrite() const { return code && placement != "common"; }
};
// Runs a command on the device and writes its result keys; returns the
// command's own outcome (the common HRESULT).
HRESULT RunCommand(Device &device, IPortableDeviceValues *parameters, IPortableDeviceValues *results,
                   const CommandOutcome &forced);
std::wstring CommandObjectId(IPortableDeviceValues *parameters);

}  // namespace sim
