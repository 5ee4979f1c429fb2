// Bounded text helpers shared by every fixed buffer of the library.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace kivo {

// Paths and names live in MAX_PATH buffers, object IDs in 14-character fields
// (13 and the terminator), as in WIN32_FIND_DATAW.
constexpr size_t kPathChars = MAX_PATH;
constexpr size_t kObjectIdChars = 14;

// Length of a NUL-terminated wide string, counting at most limit characters.
size_t BoundedLength(const wchar_t *text, size_t limit);

// Copies source into a buffer of capacity wide characters, terminator
// included, never writing past it. Returns true when the whole string fit;
// false when it did not, in which case the destination holds the cut text
// (or nothing, for a capacity of 0). Callers that must not pass on a cut
// value (object IDs, paths) check the result.
bool BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source);

// Joins folder, a backslash and name into a buffer of capacity characters,
// terminator included, with BoundedCopy's rules: true when the whole path
// fit, false when the buffer holds a cut one.
bool BoundedJoin(wchar_t *destination, size_t capacity, const wchar_t *folder, const wchar_t *name);

// True when the string fits a buffer of capacity characters with its
// terminator.
bool FitsBuffer(const wchar_t *text, size_t capacity);

// A name a new object or folder may be given: not empty, without control
// characters and without a surrogate that is not one of a pair.
bool IsStorableName(const wchar_t *name);

// The letters a to z as A to Z; every other character as it is.
inline wchar_t FoldAsciiCase(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The text with a to z made A to Z: the key under which names that differ
// only in the case of those letters are one.
inline std::wstring FoldedAsciiCase(std::wstring text) {
    for (wchar_t &c : text) c = FoldAsciiCase(c);
    return text;
}

// Compares two strings ignoring the case of the ASCII letters A to Z only.
bool EqualIgnoringAsciiCase(const wchar_t *a, const wchar_t *b);

}  // namespace kivo
