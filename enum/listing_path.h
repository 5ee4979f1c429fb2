// The split of a device listing's path into the folder to list and the
// pattern its names are matched against.
#pragma once

#include <string>

namespace kivo {

// Split at the last separator (backslash or slash): the folder part,
// separator included, and the pattern after it.
struct ListingPath {
    std::wstring folder;
    std::wstring pattern;
};

// False when a part does not fit its limit: the folder part 259 characters,
// the pattern 259, its base name and its extension (from the last dot) 255
// each. A longer last component is refused, never cut.
bool SplitListingPath(const wchar_t *path, ListingPath &out);

}  // namespace kivo
