// Listing and matching: wildcard matching of names.
#include "include/kivo.h"

#include "enum/wildcard.h"

extern "C" int KivoWildcardMatch(const wchar_t *pattern, const wchar_t *name) {
    if (!pattern || !name) return 0;
    if (pattern[0] == L'\0') return name[0] == L'\0' ? 1 : 0;
    return kivo::MatchWildcard(pattern, name);
}
