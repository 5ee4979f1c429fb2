// A stand-in device in Wine's shell namespace: a small shell folder
// registered under the computer folder, as the shell shows a phone, with
// storages, folders and files and in-folder display names. Its class lives
// in this process (CoRegisterClassObject); the registry names it for the
// computer folder while the object is alive.
#pragma once

#include <windows.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace kivotest {

class StandInNamespace {
public:
    // The device's name as the computer folder shows it.
    static constexpr const wchar_t *kDeviceName = L"Test Phone";
    // A folder whose display name cannot be read; it holds "inside.jpg".
    static constexpr const wchar_t *kBrokenFolder = L"Broken";

    bool Register();
    void Revoke();
    ~StandInNamespace() { Revoke(); }

    // A shell item for the object at names below the device ({} is the
    // device itself), built from real identifier lists; null on failure.
    Microsoft::WRL::ComPtr<IShellItem> Item(const std::vector<std::wstring> &names) const;
    long LiveFolders() const;

private:
    DWORD cookie_ = 0;
    bool registryWritten_ = false;
};

}  // namespace kivotest
