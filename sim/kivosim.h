// Control API of the simulated device service, for tests and benchmarks.
// The functions are exports of kivosim.dll; the C++ helpers below wrap them
// with nlohmann::json. Load the sim from its registered path (or link it from
// the same folder) so that COM and the test share one instance.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef KIVOSIM_BUILD
#define KIVOSIM_API extern "C" __declspec(dllexport)
#else
#define KIVOSIM_API extern "C" __declspec(dllimport)
#endif

// Removes every device, fault rule, log entry and counter. A fixture named by
// KIVO_SIM_DEVICES is not loaded after a reset.
KIVOSIM_API void KivoSimReset(void);
// Adds the devices of a fixture (UTF-8 JSON text); the number added, or -1
// (the error text goes to KivoSimLastError).
KIVOSIM_API int KivoSimLoadFixture(const char *json);
// The same from a fixture file; its relative "dataFile" names are read from
// the file's folder.
KIVOSIM_API int KivoSimLoadFixtureFile(const wchar_t *path);
// Adds one object (fixture object JSON, children included) under parentId;
// its ID is written to idOut. 1 on success.
KIVOSIM_API int KivoSimAddObject(const wchar_t *pnpId, const wchar_t *parentId, const char *json, wchar_t *idOut,
                                 size_t idCapacity);
// Changes device settings given as JSON: friendlyName, description (null for
// none), connected, refuseFirstOpen, transferSize, bandwidth, latency,
// unplugAfterCalls.
KIVOSIM_API int KivoSimSetDevice(const wchar_t *pnpId, const char *json);
// Object ID of the object at a path of names below the device object
// (storage\folder\file, matching original file names first, then names).
KIVOSIM_API int KivoSimFindObject(const wchar_t *pnpId, const wchar_t *path, wchar_t *idOut, size_t idCapacity);
// JSON texts; each returns the length needed (without the terminator) and
// writes as much as fits, terminated, when capacity is nonzero.
KIVOSIM_API size_t KivoSimDump(char *buffer, size_t capacity);
KIVOSIM_API size_t KivoSimObjectJson(const wchar_t *pnpId, const wchar_t *objectId, char *buffer, size_t capacity);
KIVOSIM_API size_t KivoSimCallLog(char *buffer, size_t capacity);
// SHA-256 of an object's data as dumps report it; portable nonzero takes the
// path that does not use the processor's SHA extensions.
KIVOSIM_API size_t KivoSimObjectSha256(const wchar_t *pnpId, const wchar_t *objectId, int portable, char *buffer,
                                       size_t capacity);
KIVOSIM_API size_t KivoSimLastError(char *buffer, size_t capacity);
// Reads an object's data; the number of bytes copied.
KIVOSIM_API size_t KivoSimReadData(const wchar_t *pnpId, const wchar_t *objectId, uint64_t offset, void *buffer,
                                   size_t size);
// Adds a fault rule (the fixture's rule JSON); pnpId null applies to every
// device (and to calls made on no device, such as class creation).
KIVOSIM_API int KivoSimAddFault(const wchar_t *pnpId, const char *json);
KIVOSIM_API void KivoSimClearFaults(void);
KIVOSIM_API void KivoSimClearLog(void);
KIVOSIM_API void KivoSimSetLogging(int enabled);
// Number of calls of a method ("IPortableDeviceProperties::GetValues", ...)
// since the last reset or KivoSimClearLog.
KIVOSIM_API uint64_t KivoSimCallCount(const char *method);
// COM objects handed out by the sim that are still alive.
KIVOSIM_API long KivoSimLiveObjects(void);

#if defined(__cplusplus) && __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#include <string>

namespace kivosim {

inline std::string ReadText(size_t (*read)(char *, size_t)) {
    size_t needed = read(nullptr, 0);
    std::string text(needed + 1, '\0');
    read(text.data(), text.size());
    text.resize(needed);
    return text;
}

inline nlohmann::json Dump() { return nlohmann::json::parse(ReadText(KivoSimDump)); }
inline nlohmann::json Log() { return nlohmann::json::parse(ReadText(KivoSimCallLog)); }
inline std::string LastError() { return ReadText(KivoSimLastError); }

inline nlohmann::json Object(const wchar_t *pnpId, const wchar_t *objectId) {
    size_t needed = KivoSimObjectJson(pnpId, objectId, nullptr, 0);
    std::string text(needed + 1, '\0');
    KivoSimObjectJson(pnpId, objectId, text.data(), text.size());
    text.resize(needed);
    return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
}

inline std::wstring FindObject(const wchar_t *pnpId, const wchar_t *path) {
    wchar_t id[256] = {};
    return KivoSimFindObject(pnpId, path, id, 256) ? std::wstring(id) : std::wstring();
}

inline bool Load(const nlohmann::json &fixture) { return KivoSimLoadFixture(fixture.dump().c_str()) >= 0; }
inline bool AddFault(const wchar_t *pnpId, const nlohmann::json &rule) {
    return KivoSimAddFault(pnpId, rule.dump().c_str()) != 0;
}
inline bool SetDevice(const wchar_t *pnpId, const nlohmann::json &settings) {
    return KivoSimSetDevice(pnpId, settings.dump().c_str()) != 0;
}

// The log entries of one method, in call order.
inline nlohmann::json Calls(const std::string &method) {
    nlohmann::json out = nlohmann::json::array();
    for (auto &entry : Log())
        if (entry.value("method", std::string()) == method) out.push_back(entry);
    return out;
}

}  // namespace kivosim
#endif
