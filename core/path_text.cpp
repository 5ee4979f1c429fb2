#include "path_text.h"

#include <cwchar>

namespace kivo {

namespace {

bool IsSeparator(wchar_t c, const wchar_t *separators) { return c != L'\0' && std::wcschr(separators, c) != nullptr; }

}  // namespace

bool IsLocalPath(const wchar_t *path) {
    if (path[0] == L'\\' || path[0] == L'.') return true;
    return path[0] != L'\0' && path[1] == L':';
}

bool SplitPathParts(const wchar_t *path, PathParts &parts, bool takeDrive) {
    constexpr size_t kMaxDrive = 2, kMaxFolder = 259, kMaxName = 255, kMaxExtension = 255;
    std::wstring rest(path);
    parts = PathParts{};
    if (takeDrive && rest.size() >= 2 && rest[1] == L':') {
        parts.drive = rest.substr(0, 2);
        rest = rest.substr(2);
    }
    size_t cut = rest.find_last_of(L"\\/");
    size_t nameStart = cut == std::wstring::npos ? 0 : cut + 1;
    parts.folder = rest.substr(0, nameStart);
    std::wstring file = rest.substr(nameStart);
    size_t dot = file.find_last_of(L'.');
    parts.name = dot == std::wstring::npos ? file : file.substr(0, dot);
    parts.extension = dot == std::wstring::npos ? std::wstring() : file.substr(dot);
    return parts.drive.size() <= kMaxDrive && parts.folder.size() <= kMaxFolder && parts.name.size() <= kMaxName &&
           parts.extension.size() <= kMaxExtension;
}

const wchar_t *SplitPathComponent(wchar_t *destination, const wchar_t *source, const wchar_t *separators) {
    while (IsSeparator(*source, separators)) ++source;
    if (*source == L'\0') {
        destination[0] = L'\0';
        return nullptr;
    }
    size_t copied = 0;
    while (*source != L'\0' && !IsSeparator(*source, separators) && copied < kPathChars)
        destination[copied++] = *source++;
    destination[copied] = L'\0';
    while (IsSeparator(*source, separators)) ++source;
    return source;
}

namespace {

constexpr wchar_t kStagingPrefix[] = L"~kivo";
constexpr wchar_t kStagingSuffix[] = L".tmp";
constexpr size_t kStagingPrefixChars = 5, kStagingDigits = 16;

bool IsLowerHexDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

}  // namespace

void FormatStagingName(wchar_t (&name)[kStagingNameChars], unsigned long long unique) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    size_t at = 0;
    for (const wchar_t *p = kStagingPrefix; *p; ++p) name[at++] = *p;
    for (size_t i = 0; i < kStagingDigits; ++i) name[at++] = kDigits[(unique >> (4 * (kStagingDigits - 1 - i))) & 0xF];
    for (const wchar_t *p = kStagingSuffix; *p; ++p) name[at++] = *p;
    name[at] = L'\0';
}

bool IsStagingName(const wchar_t *name) {
    for (size_t i = 0; i < kStagingPrefixChars; ++i)
        if (name[i] != kStagingPrefix[i]) return false;
    for (size_t i = 0; i < kStagingDigits; ++i)
        if (!IsLowerHexDigit(name[kStagingPrefixChars + i])) return false;
    return std::wcscmp(name + kStagingPrefixChars + kStagingDigits, kStagingSuffix) == 0;
}

}  // namespace kivo
