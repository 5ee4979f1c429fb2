#include "foldercopy/copy_names.h"

#include <cwchar>

#include "core/text.h"

namespace kivo {

namespace {

bool IsPortDigit(wchar_t c) { return (c >= L'1' && c <= L'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3; }

bool SeparatesOrAddressesStream(wchar_t c) { return c == L'\\' || c == L'/' || c == L':'; }

bool ForbiddenOnDisk(wchar_t c) {
    return c < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*';
}

}  // namespace

bool IsReservedDeviceName(const wchar_t *name) {
    // The stem is what comes before the first dot, trailing spaces dropped:
    // Windows maps "nul .txt" to the device too.
    size_t stem = 0;
    while (name[stem] && name[stem] != L'.') ++stem;
    while (stem > 0 && name[stem - 1] == L' ') --stem;
    wchar_t upper[5] = {};
    if (stem != 3 && stem != 4) return false;
    for (size_t i = 0; i < stem; ++i) upper[i] = FoldAsciiCase(name[i]);
    if (stem == 3)
        return !std::wcscmp(upper, L"CON") || !std::wcscmp(upper, L"PRN") || !std::wcscmp(upper, L"AUX") ||
               !std::wcscmp(upper, L"NUL");
    if (!IsPortDigit(upper[3])) return false;
    upper[3] = L'\0';
    return !std::wcscmp(upper, L"COM") || !std::wcscmp(upper, L"LPT");
}

DWORD CheckCopyName(const wchar_t *name, bool destinationOnDisk) {
    if (!name || !name[0] || !std::wcscmp(name, L".") || !std::wcscmp(name, L"..")) return ERROR_INVALID_NAME;
    size_t length = 0;
    for (; name[length]; ++length) {
        if (SeparatesOrAddressesStream(name[length])) return ERROR_INVALID_NAME;
        if (destinationOnDisk && ForbiddenOnDisk(name[length])) return ERROR_INVALID_NAME;
    }
    if (!destinationOnDisk) return ERROR_SUCCESS;
    wchar_t last = name[length - 1];
    if (last == L'.' || last == L' ') return ERROR_INVALID_NAME;
    return IsReservedDeviceName(name) ? ERROR_INVALID_NAME : ERROR_SUCCESS;
}

}  // namespace kivo
