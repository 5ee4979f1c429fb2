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

}  // namespace kivo
