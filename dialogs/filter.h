// The file type filter of the file dialogs: "name|patterns|name|patterns".
#pragma once

#include <string>
#include <vector>

namespace kivo {

struct FilterPair {
    std::wstring name;
    std::wstring patterns;
};

// The pairs of a filter text: display names and patterns separated by "|",
// runs of separators counting as one, each component taken whole; a name
// without patterns is dropped.
std::vector<FilterPair> ParseFilter(const wchar_t *filter);

}  // namespace kivo
