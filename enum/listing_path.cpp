#include "enum/listing_path.h"

#include "core/text.h"

namespace kivo {

namespace {

constexpr size_t kMaxFolderPart = 259;
constexpr size_t kMaxBaseName = 255;
constexpr size_t kMaxExtension = 255;
constexpr size_t kMaxPattern = kPathChars - 1;

}  // namespace

bool SplitListingPath(const wchar_t *path, ListingPath &out) {
    std::wstring whole(path);
    size_t cut = whole.find_last_of(L"\\/");
    size_t patternStart = cut == std::wstring::npos ? 0 : cut + 1;
    out.folder = whole.substr(0, patternStart);
    out.pattern = whole.substr(patternStart);
    size_t dot = out.pattern.find_last_of(L'.');
    size_t baseLength = dot == std::wstring::npos ? out.pattern.size() : dot;
    size_t extensionLength = out.pattern.size() - baseLength;
    return out.folder.size() <= kMaxFolderPart && baseLength <= kMaxBaseName && extensionLength <= kMaxExtension &&
           out.pattern.size() <= kMaxPattern;
}

}  // namespace kivo
