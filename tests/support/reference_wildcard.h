// The wildcard rule transcribed directly: the star first matches nothing,
// then takes one more character at a time, backtracking through every
// choice. Kept as the reference the library's matcher is checked against.
#pragma once

namespace kivotest {

inline wchar_t ReferenceUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

inline int ReferenceMatch(const wchar_t *p, const wchar_t *s) {
    if (*p == L'*') {
        int first = p[1] == L'\0' ? (*s == L'\0') : ReferenceMatch(p + 1, s);
        if (first) return 1;
        if (*s == L'\0') return 0;
        return ReferenceMatch(p, s + 1);
    }
    if (*p == L'?') {
        if (*s == L'\0') return 0;
    } else if (ReferenceUpper(*p) != ReferenceUpper(*s)) {
        return 0;
    }
    if (p[1] != L'\0') return ReferenceMatch(p + 1, s + 1);
    return s[1] == L'\0';
}

}  // namespace kivotest
