#include "dialogs/filter.h"

namespace kivo {

namespace {

// The next component after any run of separators; false when none is left.
bool NextComponent(const wchar_t *&cursor, std::wstring &component) {
    while (*cursor == L'|') ++cursor;
    if (!*cursor) return false;
    const wchar_t *start = cursor;
    while (*cursor && *cursor != L'|') ++cursor;
    component.assign(start, cursor);
    return true;
}

}  // namespace

std::vector<FilterPair> ParseFilter(const wchar_t *filter) {
    std::vector<FilterPair> pairs;
    if (!filter) return pairs;
    const wchar_t *cursor = filter;
    FilterPair pair;
    while (NextComponent(cursor, pair.name) && NextComponent(cursor, pair.patterns)) pairs.push_back(pair);
    return pairs;
}

}  // namespace kivo
