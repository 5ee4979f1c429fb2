// Device profiles: what sets a family of real devices apart from the sim's
// plain device, in one place. Each trait stands for a documented behaviour
// of the family:
//   android  bulk reads not offered (its MTP responder reports them as
//            unreliable); dates kept from the upload but refused
//            afterwards; renamed only through the original file name; a FAT
//            storage that refuses objects of 4 GiB or more; 20 ms a
//            property read.
//   camera   a read-only card; bulk reads offered; 5 ms a property read.
//   player   bulk reads offered; names that differ only in case are kept
//            apart.
#include <cwctype>

#include "sim_state.h"

namespace sim {

namespace {

constexpr const char *kGetValues = "IPortableDeviceProperties::GetValues";

bool SameIgnoringCase(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && std::towlower(a[i]) != std::towlower(b[i])) return false;
    return true;
}

}  // namespace

bool ApplyProfile(Device &device, const std::string &profile, bool withCosts) {
    DeviceTraits traits;
    if (profile == "android") {
        device.bulkProperties = false;
        if (withCosts) device.latencyMicros[kGetValues] = 20000;
        traits.datesFixedAtUpload = true;
        traits.renamesByFileNameOnly = true;
        traits.storageFileSystem = L"FAT32";
        traits.storageMaxObjectSize = 0xFFFFFFFFull;
    } else if (profile == "camera") {
        device.bulkProperties = true;
        if (withCosts) device.latencyMicros[kGetValues] = 5000;
        traits.storageFileSystem = L"FAT32";
        traits.storagesReadOnly = true;
    } else if (profile == "player") {
        device.bulkProperties = true;
        traits.caseSensitiveNames = true;
    } else if (!profile.empty()) {
        return false;
    }
    device.profile = profile;
    device.profileFromSuite = !withCosts;
    device.traits = traits;
    return true;
}

std::string SuiteProfile() {
    char name[32];
    DWORD length = GetEnvironmentVariableA("KIVO_SIM_PROFILE", name, sizeof name);
    return length > 0 && length < sizeof name ? std::string(name, length) : std::string();
}

void ApplyStorageTraits(const Device &device, Object &storage) {
    if (!storage.fileSystem) storage.fileSystem = device.traits.storageFileSystem;
    if (!storage.maxObjectSize) storage.maxObjectSize = device.traits.storageMaxObjectSize;
    storage.readOnly = storage.readOnly || device.traits.storagesReadOnly;
}

const std::wstring &FileNameOf(const Object &object) {
    return object.originalFileName ? *object.originalFileName : object.name;
}

HRESULT CheckNameFree(const Device &device, const Object &folder, const std::wstring &name, const std::wstring &self) {
    for (const auto &id : folder.children) {
        if (id == self) continue;
        auto it = device.objects.find(id);
        if (it == device.objects.end()) continue;
        const std::wstring &taken = FileNameOf(it->second);
        if (taken == name || (!device.traits.caseSensitiveNames && SameIgnoringCase(taken, name)))
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    return S_OK;
}

HRESULT CheckStorageWritable(Device &device, const std::wstring &objectId) {
    const Object *storage = device.StorageOf(objectId);
    return storage && storage->readOnly ? E_ACCESSDENIED : S_OK;
}

}  // namespace sim
