// The fixture format: devices and their object trees as JSON, loaded from
// KIVO_SIM_DEVICES or the control API and written back by dumps.
#include <cstdlib>
#include <cstring>

#include "sim_state.h"

namespace sim {

namespace {

bool Fail(std::string *error, const std::string &what) {
    if (error) *error = what;
    return false;
}

std::optional<std::wstring> OptionalText(const json &node, const char *key) {
    auto it = node.find(key);
    if (it == node.end() || it->is_null() || !it->is_string()) return std::nullopt;
    return FromUtf8(it->get<std::string>());
}

std::optional<bool> OptionalBool(const json &node, const char *key) {
    auto it = node.find(key);
    if (it == node.end() || !it->is_boolean()) return std::nullopt;
    return it->get<bool>();
}

bool ParseHresult(const json &value, HRESULT &out) {
    if (value.is_number_integer()) {
        out = static_cast<HRESULT>(value.get<int64_t>());
        return true;
    }
    if (!value.is_string()) return false;
    std::string text = value.get<std::string>();
    char *end = nullptr;
    unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') return false;
    out = static_cast<HRESULT>(static_cast<uint32_t>(number));
    return true;
}

bool IsValidUtf8(const std::vector<uint8_t> &bytes) {
    if (bytes.empty()) return true;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(bytes.data()),
                               static_cast<int>(bytes.size()), nullptr, 0) > 0;
}

const char *KindName(Kind kind) {
    switch (kind) {
    case Kind::Storage: return "storage";
    case Kind::Folder: return "folder";
    case Kind::File: return "file";
    default: return "device";
    }
}

bool ParseObject(Device &device, const std::wstring &parentId, const json &node, Object &object,
                 const std::wstring &fixtureFolder, std::string *error) {
    if (!node.is_object()) return Fail(error, "an object must be a JSON object");
    std::string kind = node.value("kind", std::string("file"));
    if (kind == "storage") object.kind = Kind::Storage;
    else if (kind == "folder") object.kind = Kind::Folder;
    else if (kind == "file") object.kind = Kind::File;
    else return Fail(error, "unknown kind '" + kind + "'");

    auto name = OptionalText(node, "name");
    if (!name) return Fail(error, "an object needs a name");
    object.name = *name;
    object.parentId = parentId;
    object.id = OptionalText(node, "id").value_or(std::wstring());
    if (object.id.empty()) object.id = device.NewObjectId(object.kind);
    if (device.objects.count(object.id)) return Fail(error, "duplicate object id '" + ToUtf8(object.id) + "'");
    object.originalFileName = OptionalText(node, "originalFileName");

    object.contentType = object.kind == Kind::Storage  ? WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT
                         : object.kind == Kind::Folder ? WPD_CONTENT_TYPE_FOLDER
                                                       : WPD_CONTENT_TYPE_GENERIC_FILE;
    if (node.contains("contentType")) {
        auto guid = ParseGuidName(node["contentType"].get<std::string>());
        if (!guid) return Fail(error, "unknown contentType");
        object.contentType = *guid;
    }
    if (node.contains("format")) {
        auto guid = ParseGuidName(node["format"].get<std::string>());
        if (!guid) return Fail(error, "unknown format");
        object.format = *guid;
    }
    object.hidden = OptionalBool(node, "hidden");
    object.system = OptionalBool(node, "system");
    object.canDelete = OptionalBool(node, "canDelete");
    for (const char *key : {"created", "modified"}) {
        auto text = OptionalText(node, key);
        if (!text) continue;
        auto date = ParseDate(ToUtf8(*text));
        if (!date) return Fail(error, std::string("bad date in ") + key);
        (std::strcmp(key, "created") == 0 ? object.created : object.modified) = date;
    }

    if (node.contains("dataFile") && node["dataFile"].is_string()) {
        std::wstring file = FromUtf8(node["dataFile"].get<std::string>());
        bool absolute = file.size() > 1 && (file[1] == L':' || file[0] == L'\\' || file[0] == L'/');
        auto bytes = ReadWholeFile(absolute ? file : fixtureFolder + file);
        if (!bytes) return Fail(error, "cannot read data file " + node["dataFile"].get<std::string>());
        object.data.bytes = std::make_shared<const std::vector<uint8_t>>(bytes->begin(), bytes->end());
        object.data.size = bytes->size();
    } else if (node.contains("data") && node["data"].is_string()) {
        std::string text = node["data"].get<std::string>();
        object.data.bytes = std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end());
        object.data.size = text.size();
    } else if (node.contains("size") && node["size"].is_number_unsigned()) {
        object.data.generated = true;
        object.data.size = node["size"].get<uint64_t>();
        object.data.seed = node.value("seed", uint64_t(0));
    } else {
        object.data.bytes = std::make_shared<const std::vector<uint8_t>>();
    }
    if (object.kind == Kind::Storage) {
        object.fileSystem = OptionalText(node, "fileSystem");
        object.readOnly = OptionalBool(node, "readOnly").value_or(false);
        ApplyStorageTraits(device, object);
        for (auto [key, field] : {std::pair{"capacity", &object.capacity}, std::pair{"freeSpace", &object.freeSpace},
                                  std::pair{"maxObjectSize", &object.maxObjectSize}}) {
            if (!node.contains(key)) continue;
            if (!node[key].is_number_unsigned()) return Fail(error, std::string("bad ") + key);
            *field = node[key].get<uint64_t>();
        }
    }
    if (node.contains("reportedSize")) {
        object.overridesSize = true;
        if (node["reportedSize"].is_number_unsigned()) object.reportedSize = node["reportedSize"].get<uint64_t>();
    }
    return true;
}

bool ParseDevice(State &state, const json &node, std::string *error) {
    if (!node.is_object() || !node.contains("pnpId") || !node["pnpId"].is_string())
        return Fail(error, "a device needs a pnpId");
    auto device = std::make_unique<Device>();
    device->pnpId = FromUtf8(node["pnpId"].get<std::string>());
    if (state.FindDevice(device->pnpId)) return Fail(error, "duplicate pnpId");
    device->friendlyName = OptionalText(node, "friendlyName");
    device->description = OptionalText(node, "description");
    // A profile first: the fixture's own keys override what it sets.
    const bool ownProfile = node.contains("profile");
    std::string profile = ownProfile ? node.value("profile", std::string()) : SuiteProfile();
    if (!ApplyProfile(*device, profile, ownProfile)) return Fail(error, "unknown profile '" + profile + "'");
    device->transferSize = node.value("transferSize", uint32_t(262144));
    device->refuseFirstOpen = node.value("refuseFirstOpen", false);
    device->connected = node.value("connected", true);
    device->bandwidth = node.value("bandwidth", uint64_t(0));
    if (auto prefix = OptionalText(node, "idPrefix")) device->idPrefix = *prefix;
    device->unterminatedNames = node.value("unterminatedNames", false);
    ApplyBulkSettings(*device, node);
    if (node.contains("unplugAfterCalls")) device->callsBeforeUnplug = node["unplugAfterCalls"].get<uint64_t>();
    if (node.contains("latency") && node["latency"].is_object())
        for (auto &[method, micros] : node["latency"].items())
            if (micros.is_number_unsigned()) device->latencyMicros[method] = micros.get<uint64_t>();

    Object root;
    root.id = WPD_DEVICE_OBJECT_ID;
    root.kind = Kind::Device;
    root.name = device->friendlyName.value_or(device->description.value_or(device->pnpId));
    root.contentType = WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT;
    root.data.bytes = std::make_shared<const std::vector<uint8_t>>();
    device->objects[root.id] = root;

    Device &added = *device;
    state.devices.push_back(std::move(device));
    if (node.contains("objects"))
        for (const auto &child : node["objects"])
            if (!AddObjectJson(state, added, WPD_DEVICE_OBJECT_ID, child, nullptr, error)) return false;
    if (node.contains("faults"))
        for (const auto &rule : node["faults"]) {
            FaultRule parsed;
            if (!ParseFaultRule(rule, added.pnpId, parsed, error)) return false;
            state.faults.push_back(parsed);
        }
    return true;
}

}  // namespace

bool AddObjectJson(State &state, Device &device, const std::wstring &parentId, const json &node,
                   std::wstring *newId, std::string *error) {
    Object *parent = device.Find(parentId);
    if (!parent || parent->kind == Kind::File) return Fail(error, "no such parent folder");
    Object object;
    if (!ParseObject(device, parent->id, node, object, state.fixtureFolder, error)) return false;
    std::wstring id = object.id;
    parent->children.push_back(id);
    device.objects[id] = std::move(object);
    if (newId) *newId = id;
    if (node.contains("children"))
        for (const auto &child : node["children"])
            if (!AddObjectJson(state, device, id, child, nullptr, error)) return false;
    return true;
}

bool ParseFaultRule(const json &rule, const std::wstring &device, FaultRule &out, std::string *error) {
    if (!rule.is_object() || !rule.contains("method") || !rule["method"].is_string())
        return Fail(error, "a fault rule needs a method");
    out = FaultRule{};
    out.device = device;
    if (rule.contains("device") && rule["device"].is_string()) out.device = FromUtf8(rule["device"].get<std::string>());
    out.method = rule["method"].get<std::string>();
    out.objectId = OptionalText(rule, "objectId").value_or(std::wstring());
    out.skip = rule.value("skip", uint64_t(0));
    out.times = rule.contains("times") && rule["times"].is_number() ? rule["times"].get<int64_t>() : -1;
    out.shortTransfer = rule.value("short", false);
    if (rule.contains("afterBytes")) {
        out.streamRule = true;
        out.afterBytes = rule["afterBytes"].get<uint64_t>();
    }
    if (out.shortTransfer) out.streamRule = true;
    if (rule.contains("inResults")) {
        const json &where = rule["inResults"];
        if (where.is_boolean()) out.inResults = where.get<bool>() ? "both" : "";
        else if (where.is_string()) out.inResults = where.get<std::string>();
        if (!out.inResults.empty() && out.inResults != "both" && out.inResults != "common" && out.inResults != "write")
            return Fail(error, "inResults is both, common or write");
    }
    if (rule.contains("hr") && !ParseHresult(rule["hr"], out.hr)) return Fail(error, "bad hr in fault rule");
    if (!rule.contains("hr") && !out.shortTransfer) out.hr = E_FAIL;
    return true;
}

int LoadFixtureJson(State &state, const json &fixture, std::string *error) {
    if (!fixture.is_object() || !fixture.contains("devices") || !fixture["devices"].is_array()) {
        Fail(error, "a fixture needs a \"devices\" array");
        return -1;
    }
    int added = 0;
    for (const auto &device : fixture["devices"]) {
        if (!ParseDevice(state, device, error)) return -1;
        ++added;
    }
    return added;
}

// Where a dump writes the data that its JSON cannot hold as text.
struct DataFiles {
    std::wstring folder;  // absolute, created on first use
    std::wstring base;    // the same, relative to the dump's folder
    bool created = false;
    unsigned next = 0;

    // The relative name of a new file holding the data; empty when it
    // cannot be written.
    std::string Write(const ObjectData &data) {
        if (!created) created = CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
        std::wstring name = std::to_wstring(++next) + L".bin";
        if (!created || !WriteWholeFile(folder + L"\\" + name, data.bytes->data(), data.bytes->size()))
            return std::string();
        return ToUtf8(base + L"\\" + name);
    }
};

namespace {

void DumpData(const Object &object, json &node, DataFiles *files) {
    node["size"] = object.data.size;
    node["sha256"] = Sha256Hex(object.data);
    if (object.data.generated) {
        node["seed"] = object.data.seed;
    } else if (object.data.size <= 65536 && IsValidUtf8(*object.data.bytes)) {
        node["data"] = std::string(object.data.bytes->begin(), object.data.bytes->end());
    } else if (files) {
        std::string name = files->Write(object.data);
        if (!name.empty()) node["dataFile"] = name;
    }
}

}  // namespace

json DumpObject(const Device &device, const Object &object, bool withChildren, DataFiles *files) {
    json node = {{"kind", KindName(object.kind)}, {"name", ToUtf8(object.name)}, {"id", ToUtf8(object.id)}};
    if (object.originalFileName) node["originalFileName"] = ToUtf8(*object.originalFileName);
    node["contentType"] = GuidName(object.contentType);
    if (object.format) node["format"] = GuidName(*object.format);
    if (object.hidden) node["hidden"] = *object.hidden;
    if (object.system) node["system"] = *object.system;
    if (object.canDelete) node["canDelete"] = *object.canDelete;
    if (object.created) node["created"] = FormatDate(*object.created);
    if (object.modified) node["modified"] = FormatDate(*object.modified);
    if (object.overridesSize)
        node["reportedSize"] = object.reportedSize ? json(*object.reportedSize) : json(nullptr);
    if (object.createdType) node["createdType"] = *object.createdType;
    if (object.modifiedType) node["modifiedType"] = *object.modifiedType;
    if (object.kind == Kind::File) DumpData(object, node, files);
    if (object.capacity) node["capacity"] = *object.capacity;
    if (object.freeSpace) node["freeSpace"] = *object.freeSpace;
    if (object.maxObjectSize) node["maxObjectSize"] = *object.maxObjectSize;
    if (object.fileSystem) node["fileSystem"] = ToUtf8(*object.fileSystem);
    if (object.readOnly) node["readOnly"] = true;
    if (withChildren && object.kind != Kind::File) {
        json children = json::array();
        for (const auto &id : object.children) {
            auto it = device.objects.find(id);
            if (it != device.objects.end()) children.push_back(DumpObject(device, it->second, true, files));
        }
        node["children"] = std::move(children);
    }
    return node;
}

json DumpState(State &state, const std::wstring &dataFolder, const std::wstring &dataBase) {
    DataFiles files{dataFolder, dataBase};
    DataFiles *filesOrNone = dataFolder.empty() ? nullptr : &files;
    json devices = json::array();
    for (const auto &device : state.devices) {
        json node = {{"pnpId", ToUtf8(device->pnpId)}};
        if (!device->profile.empty() && !device->profileFromSuite) node["profile"] = device->profile;
        if (device->friendlyName) node["friendlyName"] = ToUtf8(*device->friendlyName);
        if (device->description) node["description"] = ToUtf8(*device->description);
        node["transferSize"] = device->transferSize;
        node["refuseFirstOpen"] = device->refuseFirstOpen;
        if (!device->connected) node["connected"] = false;
        if (device->idPrefix != L"o") node["idPrefix"] = ToUtf8(device->idPrefix);
        DumpBulkSettings(*device, node);
        json objects = json::array();
        auto root = device->objects.find(WPD_DEVICE_OBJECT_ID);
        if (root != device->objects.end())
            for (const auto &id : root->second.children) {
                auto it = device->objects.find(id);
                if (it != device->objects.end()) objects.push_back(DumpObject(*device, it->second, true, filesOrNone));
            }
        node["objects"] = std::move(objects);
        devices.push_back(std::move(node));
    }
    return json{{"devices", std::move(devices)}};
}

}  // namespace sim
