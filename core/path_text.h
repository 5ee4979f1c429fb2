// The text side of paths, free of any device: the test that tells a local
// path from a device path, and the component splitter.
#pragma once

#include <cstddef>
#include <string>

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

// A path split like the platform's path splitter: a drive ("C:"), the
// folder part up to and with its last separator (backslash or slash), the
// name and the extension from the name's last dot.
struct PathParts {
    std::wstring drive, folder, name, extension;
    std::wstring FileName() const { return name + extension; }
};

// False when a part does not fit the splitter's limit: the drive 2
// characters, the folder 259, the name and the extension 255 each. A part
// too long is refused, never cut. Without takeDrive (a device path has no
// drive) a colon is an ordinary character.
bool SplitPathParts(const wchar_t *path, PathParts &parts, bool takeDrive = true);

// The name a replacement is uploaded under until the object it replaces is
// gone: "~kivo", 16 lowercase hexadecimal digits of unique, ".tmp". No
// listing shows an object of such a name.
constexpr size_t kStagingNameChars = 26;  // 25 and the terminator
void FormatStagingName(wchar_t (&name)[kStagingNameChars], unsigned long long unique);
bool IsStagingName(const wchar_t *name);

}  // namespace kivo
