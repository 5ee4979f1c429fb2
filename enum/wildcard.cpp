#include "wildcard.h"

#include <cwchar>

#include "core/text.h"

namespace kivo {

namespace {

// The C locale's towupper: only a to z are folded.
wchar_t FoldCase(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool ContainsDot(const wchar_t *name) { return std::wcschr(name, L'.') != nullptr; }

}  // namespace

// The star prefers the shortest run and, on a later mismatch, takes one more
// character. Only the last star needs a backtrack point: a later star can
// absorb whatever an earlier one would have taken, so the results equal
// those of full backtracking at linear cost per backtrack.
int MatchWildcard(const wchar_t *pattern, const wchar_t *name) {
    const wchar_t *p = pattern;
    const wchar_t *s = name;
    const wchar_t *starPattern = nullptr;
    const wchar_t *starName = nullptr;
    for (;;) {
        if (*p == L'*') {
            while (*p == L'*') ++p;
            if (*p == L'\0') return 1;
            starPattern = p;
            starName = s;
            continue;
        }
        if (*s == L'\0') return *p == L'\0' ? 1 : 0;
        if (*p != L'\0' && (*p == L'?' || FoldCase(*p) == FoldCase(*s))) {
            ++p;
            ++s;
            continue;
        }
        if (!starPattern) return 0;
        p = starPattern;
        s = ++starName;
    }
}

int MatchFindPattern(const wchar_t *pattern, const wchar_t *name) {
    if (std::wcscmp(pattern, L"*.*") == 0 || std::wcscmp(pattern, L"*") == 0) return 1;
    if (std::wcscmp(pattern, L"*.") == 0 && (name[0] == L'\0' || !ContainsDot(name))) return 1;
    if (pattern[0] == L'\0') return name[0] == L'\0' ? 1 : 0;
    return MatchWildcard(pattern, name);
}

void CopyFindData(WIN32_FIND_DATAW &destination, const WIN32_FIND_DATAW &source) {
    destination.dwFileAttributes = source.dwFileAttributes;
    destination.ftCreationTime = source.ftCreationTime;
    destination.ftLastAccessTime = source.ftLastAccessTime;
    destination.ftLastWriteTime = source.ftLastWriteTime;
    destination.nFileSizeHigh = source.nFileSizeHigh;
    destination.nFileSizeLow = source.nFileSizeLow;
    destination.dwReserved0 = source.dwReserved0;
    destination.dwReserved1 = source.dwReserved1;
    BoundedCopy(destination.cFileName, kPathChars, source.cFileName);
    BoundedCopy(destination.cAlternateFileName, kObjectIdChars, source.cAlternateFileName);
}

}  // namespace kivo
