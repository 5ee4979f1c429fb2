// A host program that knows nothing of the sim: it lists the devices through
// the platform's device manager, reads one object and uploads another, as a
// real program would on Windows. The fixture test runs it with
// KIVO_SIM_DEVICES and KIVO_SIM_DUMP set.
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <vector>

#include "include/kivo.h"
#include "platform/wpd.h"

using Microsoft::WRL::ComPtr;

static void PrintDevices(IPortableDeviceManager *manager) {
    DWORD count = 0;
    manager->GetDevices(nullptr, &count);
    std::vector<LPWSTR> ids(count ? count : 1, nullptr);
    manager->GetDevices(ids.data(), &count);
    for (DWORD i = 0; i < count; ++i) {
        wchar_t name[260] = {};
        DWORD length = 260;
        if (FAILED(manager->GetDeviceFriendlyName(ids[i], name, &length))) wcscpy(name, L"(none)");
        std::printf("device %ls %ls\n", ids[i], name);
        CoTaskMemFree(ids[i]);
    }
}

static void PrintChildren(IPortableDeviceContent *content, const wchar_t *parent) {
    ComPtr<IEnumPortableDeviceObjectIDs> enumerator;
    if (FAILED(content->EnumObjects(0, parent, nullptr, enumerator.GetAddressOf()))) return;
    LPWSTR ids[10] = {};
    ULONG fetched = 0;
    while (SUCCEEDED(enumerator->Next(10, ids, &fetched)) && fetched > 0) {
        for (ULONG i = 0; i < fetched; ++i) {
            std::printf("child %ls\n", ids[i]);
            CoTaskMemFree(ids[i]);
        }
        if (fetched < 10) break;
    }
}

static bool Upload(IPortableDeviceContent *content, const wchar_t *folder, const wchar_t *name, const void *data,
                   ULONG size) {
    ComPtr<IPortableDeviceValues> values;
    if (FAILED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                                reinterpret_cast<void **>(values.GetAddressOf()))))
        return false;
    values->SetStringValue(WPD_OBJECT_PARENT_ID, folder);
    values->SetStringValue(WPD_OBJECT_NAME, name);
    values->SetStringValue(WPD_OBJECT_ORIGINAL_FILE_NAME, name);
    values->SetUnsignedLargeIntegerValue(WPD_OBJECT_SIZE, size);
    ComPtr<IStream> stream;
    if (FAILED(content->CreateObjectWithPropertiesAndData(values.Get(), stream.GetAddressOf(), nullptr, nullptr)))
        return false;
    ULONG written = 0;
    return SUCCEEDED(stream->Write(data, size, &written)) && SUCCEEDED(stream->Commit(STGC_DEFAULT));
}

int main() {
    if (!KivoInitialize()) std::printf("initialize incomplete\n");
    {
        ComPtr<IPortableDeviceManager> manager;
        if (FAILED(CoCreateInstance(CLSID_PortableDeviceManager, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IPortableDeviceManager, reinterpret_cast<void **>(manager.GetAddressOf())))) {
            std::printf("no device manager\n");
            return 1;
        }
        PrintDevices(manager.Get());
        ComPtr<IPortableDevice> device;
        ComPtr<IPortableDeviceValues> info;
        CoCreateInstance(CLSID_PortableDeviceFTM, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDevice,
                         reinterpret_cast<void **>(device.GetAddressOf()));
        CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                         reinterpret_cast<void **>(info.GetAddressOf()));
        if (!device || !info || FAILED(device->Open(L"usb#phone-1", info.Get()))) {
            std::printf("cannot open\n");
            return 1;
        }
        ComPtr<IPortableDeviceContent> content;
        device->Content(content.GetAddressOf());
        PrintChildren(content.Get(), L"s10001");
        const char text[] = "from host";
        std::printf("upload %s\n", Upload(content.Get(), L"s10001", L"hello.txt", text, sizeof text - 1) ? "ok" : "failed");
        // Binary data, larger than a dump holds as text: bytes 0 to 255, over and over.
        static unsigned char blob[70000];
        for (size_t i = 0; i < sizeof blob; ++i) blob[i] = static_cast<unsigned char>(i * 7);
        std::printf("blob %s\n", Upload(content.Get(), L"s10001", L"blob.bin", blob, sizeof blob) ? "ok" : "failed");
    }
    KivoUninitialize();
    std::fflush(stdout);
    return 0;
}
