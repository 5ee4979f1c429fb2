// Wildcard matching of names against find patterns, and the copy of one
// find-data record into a caller's buffer.
#pragma once

#include <windows.h>

namespace kivo {

// 1 when the whole name matches the non-empty pattern: '*' matches any run
// (the empty one included), '?' exactly one character, any other character
// itself without regard to the case of a to z.
int MatchWildcard(const wchar_t *pattern, const wchar_t *name);

// The filter of folder listings: "*" and "*.*" take every name, "*." the
// names without a dot (and those that end in one), an empty pattern only the
// empty name, anything else MatchWildcard.
int MatchFindPattern(const wchar_t *pattern, const wchar_t *name);

// Copies the record's fields and, bounded, its two strings up to their
// terminators; the rest of the destination's string fields is left as it was.
void CopyFindData(WIN32_FIND_DATAW &destination, const WIN32_FIND_DATAW &source);

}  // namespace kivo
