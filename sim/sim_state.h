// The simulated device service's model: devices, their object trees, fault
// rules, the call log and the live-object count. One instance per process,
// shared by the COM classes and the control API.
#pragma once

#include <windows.h>
#include <propidl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/wpd.h"

namespace sim {

using json = nlohmann::json;

enum class Kind { Device, Storage, Folder, File };

// An object's data: stored bytes, or bytes generated on the fly from a seed so
// that a huge object costs no memory.
struct ObjectData {
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    uint64_t size = 0;
    bool generated = false;
    uint64_t seed = 0;

    size_t Read(uint64_t offset, void *out, size_t count) const;
};

struct Object {
    std::wstring id;
    std::wstring parentId;
    std::wstring name;
    std::optional<std::wstring> originalFileName;
    Kind kind = Kind::File;
    GUID contentType = GUID_NULL;
    std::optional<GUID> format;
    std::optional<bool> hidden, system, canDelete;
    std::optional<double> created, modified;  // VT_DATE, device local time
    // The variant type of a date sent as something other than VT_DATE (the
    // date itself is then not set), so tests can see what a client sent.
    std::optional<VARTYPE> createdType, modifiedType;
    ObjectData data;
    bool overridesSize = false;            // a reportedSize was given
    std::optional<uint64_t> reportedSize;  // with overridesSize: none = no size property
    std::vector<std::wstring> children;    // in creation order
    // A storage's size, its free space (none: not reported) and the largest
    // object it takes (none: no limit), in bytes. The free space shrinks and
    // grows as files are created and deleted below the storage.
    std::optional<uint64_t> capacity, freeSpace, maxObjectSize;
    // A storage's file system as it reports it, and whether it takes no new
    // objects, renames or deletes (a camera's card, say).
    std::optional<std::wstring> fileSystem;
    bool readOnly = false;
};

// How a family of real devices differs from the sim's plain device. A
// profile sets these, and the fixture's own keys are applied after it.
struct DeviceTraits {
    // Dates are taken from the upload's properties and refused afterwards.
    bool datesFixedAtUpload = false;
    // Objects are named by their file names: a new object's WPD_OBJECT_NAME
    // is its WPD_OBJECT_ORIGINAL_FILE_NAME, the name cannot be set, and
    // setting the file name renames the object, name and file name alike.
    bool renamesByFileNameOnly = false;
    // Two objects of a folder may have names that differ only in case. Else
    // a new name equal to a sibling's, ignoring case, is refused.
    bool caseSensitiveNames = false;
    // What each new storage reports, unless the fixture says otherwise.
    std::optional<std::wstring> storageFileSystem;
    std::optional<uint64_t> storageMaxObjectSize;
    bool storagesReadOnly = false;
};

struct Device {
    std::wstring pnpId;
    std::string profile;  // empty: the plain device
    bool profileFromSuite = false;  // set by KIVO_SIM_PROFILE, not by the fixture
    DeviceTraits traits;
    std::optional<std::wstring> friendlyName;
    std::optional<std::wstring> description;
    uint32_t transferSize = 262144;
    bool refuseFirstOpen = false;
    bool connected = true;
    std::unordered_map<std::wstring, Object> objects;
    uint64_t nextObjectNumber = 1;
    uint64_t nextStorageNumber = 10001;
    std::map<std::string, uint64_t> latencyMicros;
    uint64_t bandwidth = 0;  // bytes per second for streams, 0 = unlimited
    std::wstring idPrefix = L"o";  // of the IDs given to new folders and files
    // A misbehaving driver: its name queries fill the terminator's place
    // with a character instead of the NUL.
    bool unterminatedNames = false;
    // A device pulled out in the middle of a call: that many more calls on
    // it go through, then it is disconnected (not listed, and every call on
    // an open connection fails with ERROR_DEVICE_NOT_CONNECTED).
    std::optional<uint64_t> callsBeforeUnplug;
    // Bulk property reads: offered (else the QueryInterface answers
    // E_NOINTERFACE), their cost per object delivered, how many objects one
    // OnProgress carries, and whether each object's values come in two
    // parts, in two OnProgress calls, for the client to merge.
    bool bulkProperties = true;
    uint64_t bulkMicrosPerObject = 0;
    uint32_t bulkChunk = 100;
    bool bulkSplitValues = false;

    Object *Find(const std::wstring &id);
    // The storage an object lies in (null above or outside any).
    Object *StorageOf(const std::wstring &id);
    // A file of size bytes came into being (added true) or went away below
    // the storage of parentId: its free space follows.
    void ChargeStorage(const std::wstring &parentId, uint64_t size, bool added);
    std::wstring NewObjectId(Kind kind);
};

struct FaultRule {
    std::wstring device;    // empty: any device
    std::string method;     // "IPortableDeviceProperties::GetValues", "IStream::Read", ...
    std::wstring objectId;  // empty: any object
    HRESULT hr = E_FAIL;
    uint64_t skip = 0;  // matching calls let through first
    int64_t times = -1; // -1: always
    bool streamRule = false;
    uint64_t afterBytes = 0;
    bool shortTransfer = false;
    // SendCommand only: where the failure goes instead of the call's own
    // result ("both", "common" or "write"; empty: the call fails).
    std::string inResults;
    uint64_t seen = 0;
    uint64_t fired = 0;
};

constexpr size_t kMaxLogEntries = 200000;

struct State {
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<FaultRule> faults;
    json log = json::array();
    std::map<std::string, uint64_t> counters;
    bool fixturesLoaded = false;
    bool logging = true;
    std::wstring fixtureFolder;  // where relative data files of a fixture are read from

    Device *FindDevice(const std::wstring &pnpId);
};

State &GetState();
std::atomic<long> &LiveObjects();

// Loads the fixture named by KIVO_SIM_DEVICES on first use.
void EnsureFixturesLoaded();

// One call of a simulated method: logs it, counts it and decides whether a
// fault rule fires. Holds the state lock for its lifetime and adds the
// device's latency for the method once the lock is released.
class Call {
public:
    Call(const char *method, const std::wstring &device, const std::wstring &objectId = std::wstring());
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool Faulted() const { return fault_.has_value() && FAILED(*fault_) && placement_.empty(); }
    // A rule that fired with an "inResults" placement: the call succeeds and
    // its results carry the rule's code.
    std::optional<HRESULT> ResultFault() const { return placement_.empty() ? std::nullopt : fault_; }
    const std::string &Placement() const { return placement_; }
    HRESULT FaultCode() const { return *fault_; }
    // The result to return after the work was done: a success code a rule
    // asked for (S_FALSE from EnumObjects, say), else ok.
    HRESULT Result(HRESULT ok) const { return fault_ && SUCCEEDED(*fault_) ? *fault_ : ok; }
    json &Entry();
    State &state() { return state_; }
    Device *device() { return device_; }

private:
    State &state_;
    std::unique_lock<std::recursive_mutex> lock_;
    std::optional<HRESULT> fault_;
    std::string placement_;
    Device *device_ = nullptr;
    uint64_t latency_ = 0;
    size_t entryIndex_ = SIZE_MAX;
};

// The failure code of the ordinary rule that the next call of method on
// objectId would fire, if one would, without counting anything: a bulk read
// fails an object the device would refuse to describe on its own.
std::optional<HRESULT> PendingFault(State &state, const char *method, const std::wstring &device,
                                    const std::wstring &objectId);

// The device profiles ("android", "camera", "player"): false for a name
// that is not one. Applied before the fixture's own keys; withCosts adds
// the profile's read costs.
bool ApplyProfile(Device &device, const std::string &profile, bool withCosts = true);
// The profile KIVO_SIM_PROFILE names for every device whose fixture names
// none, so that a whole suite runs against a family of devices; empty when
// unset. Such a device behaves as the profile says without its read costs,
// which change no result, and its dump does not name the profile.
std::string SuiteProfile();
void ApplyStorageTraits(const Device &device, Object &storage);
// The name an object is addressed by: its file name, else its name.
const std::wstring &FileNameOf(const Object &object);
// Whether a new object or a rename may take the name in the folder: a
// sibling (other than the object itself) of the same name, or of a name
// that differs only in case on a device that does not tell case apart,
// refuses it with ERROR_ALREADY_EXISTS.
HRESULT CheckNameFree(const Device &device, const Object &folder, const std::wstring &name,
                      const std::wstring &self = std::wstring());
// E_ACCESSDENIED for an object on a read-only storage.
HRESULT CheckStorageWritable(Device &device, const std::wstring &objectId);

// Device settings shared by fixtures and KivoSimSetDevice: the bulk keys.
void ApplyBulkSettings(Device &device, const json &settings);
void DumpBulkSettings(const Device &device, json &node);

// The first stream rule for method that applies to objectId on device and
// has not fired its number of times yet, if any.
FaultRule *FindStreamRule(State &state, const char *method, const std::wstring &device, const std::wstring &objectId);
// Counts one stream call that reached the rule's byte count; true when the
// rule fires on it (its skip count is used up).
bool StreamRuleFires(FaultRule &rule);

// The last-error code every simulated method and Release leave behind, as
// the platform's own calls leave codes of their own.
constexpr DWORD kSimLastError = ERROR_IO_DEVICE;

// Busy-waits for the given number of microseconds (Sleep is too coarse).
void SpinMicros(uint64_t micros);

// Property values of an object, as GetValues reports them.
bool ReadProperty(const Device &device, const Object &object, REFPROPERTYKEY key, PROPVARIANT &out);
std::vector<PROPERTYKEY> AllPropertyKeys();

// Whole-file reads and writes of the fixture and dump files.
std::optional<std::string> ReadWholeFile(const std::wstring &path);
bool WriteWholeFile(const std::wstring &path, const void *data, size_t size);

// Text helpers.
std::string ToUtf8(const std::wstring &text);
std::wstring FromUtf8(const std::string &text);
std::string FormatHresult(HRESULT hr);
std::string KeyName(REFPROPERTYKEY key);
json ValueToJson(const PROPVARIANT &value);
std::string GuidName(REFGUID guid);
std::optional<GUID> ParseGuidName(const std::string &name);
std::string FormatDate(double date);
std::optional<double> ParseDate(const std::string &text);

// Fixture format (load and dump).
int LoadFixtureJson(State &state, const json &fixture, std::string *error);
// With dataFolder, stored data that the JSON cannot hold as text (binary,
// or larger than 64 KiB) is written to a file there and named by "dataFile"
// (relative to dataBase); without, only its size and hash are dumped.
json DumpState(State &state, const std::wstring &dataFolder = std::wstring(),
               const std::wstring &dataBase = std::wstring());
struct DataFiles;
json DumpObject(const Device &device, const Object &object, bool withChildren, DataFiles *files = nullptr);
bool AddObjectJson(State &state, Device &device, const std::wstring &parentId, const json &object,
                   std::wstring *newId, std::string *error);
bool ParseFaultRule(const json &rule, const std::wstring &device, FaultRule &out, std::string *error);
std::string Sha256Hex(const ObjectData &data);
// The same without the processor's SHA extensions, to check the fast path.
std::string PortableSha256Hex(const ObjectData &data);

}  // namespace sim
