#include "text.h"

namespace kivo {

size_t BoundedLength(const wchar_t *text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != L'\0') ++length;
    return length;
}

bool BoundedCopy(wchar_t *destination, size_t capacity, const wchar_t *source) {
    if (capacity == 0) return false;
    size_t i = 0;
    for (; i + 1 < capacity && source[i] != L'\0'; ++i) destination[i] = source[i];
    destination[i] = L'\0';
    return source[i] == L'\0';
}

bool BoundedJoin(wchar_t *destination, size_t capacity, const wchar_t *folder, const wchar_t *name) {
    if (!BoundedCopy(destination, capacity, folder)) return false;
    size_t used = BoundedLength(destination, capacity);
    return BoundedCopy(destination + used, capacity - used, L"\\") &&
           BoundedCopy(destination + used + 1, capacity - used - 1, name);
}

bool IsStorableName(const wchar_t *name) {
    if (!name || !name[0]) return false;
    for (const wchar_t *c = name; *c; ++c) {
        if (*c < 0x20) return false;
        bool high = *c >= 0xD800 && *c <= 0xDBFF, low = *c >= 0xDC00 && *c <= 0xDFFF;
        if (low) return false;
        if (high) {
            if (c[1] < 0xDC00 || c[1] > 0xDFFF) return false;
            ++c;
        }
    }
    return true;
}

bool FitsBuffer(const wchar_t *text, size_t capacity) {
    return capacity > 0 && BoundedLength(text, capacity) < capacity;
}

bool EqualIgnoringAsciiCase(const wchar_t *a, const wchar_t *b) {
    for (;; ++a, ++b) {
        if (FoldAsciiCase(*a) != FoldAsciiCase(*b)) return false;
        if (*a == L'\0') return true;
    }
}

}  // namespace kivo
