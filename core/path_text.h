// The text side of paths, free of any device: the test that tells a local
// path from a device path, and the component splitter.
#pragma once

#include <cstddef>

#include "text.h"

namespace kivo {

// A component buffer: 260 characters and the terminator.
constexpr size_t kComponentChars = kPathChars + 1;

// True for a path the Win32 file functions take: a leading backslash or
// dot, or a drive letter and colon.
bool IsLocalPath(const wchar_t *path);

// Copies the next component of source, as separated by any character of
// separators, into destination (kComponentChars). Returns the rest after the
// component and its separators, or null when no component is left (the
// destination is then empty). A run longer than 260 characters is cut after
// 260; its remainder starts the next component.
const wchar_t *SplitPathComponent(wchar_t *destination, const wchar_t *source, const wchar_t *separators);

// The name a replacement is uploaded under until the object it replaces is
// gone: "~kivo", 16 lowercase hexadecimal digits of unique, ".tmp". No
// listing shows an object of such a name.
constexpr size_t kStagingNameChars = 26;  // 25 and the terminator
void FormatStagingName(wchar_t (&name)[kStagingNameChars], unsigned long long unique);
bool IsStagingName(const wchar_t *name);

}  // namespace kivo
