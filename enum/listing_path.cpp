#include "enum/listing_path.h"

#include "core/path_text.h"

namespace kivo {

bool SplitListingPath(const wchar_t *path, ListingPath &out) {
    constexpr size_t kMaxPattern = kPathChars - 1;
    PathParts parts;
    bool fits = SplitPathParts(path, parts, false);
    out.folder = parts.folder;
    out.pattern = parts.FileName();
    return fits && out.pattern.size() <= kMaxPattern;
}

}  // namespace kivo
