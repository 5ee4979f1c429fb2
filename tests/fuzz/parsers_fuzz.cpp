// Fuzzes the library's pure text functions, built natively with libFuzzer
// and the address and undefined-behaviour sanitizers. KIVO_FUZZ_TARGET names
// the function family one run feeds; each result is checked against a plain
// reference, and every string lives in a heap block of exactly its size, so
// a read or write one character past it is reported.
//
// Inputs are bytes: one below 0x80 is that character (0 ends a string, and
// separates the two strings of the matcher targets), 0x80 to 0xFE pick a
// character from a table of awkward ones, and 0xFF followed by two bytes is
// any UTF-16 code unit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "core/path_text.h"
#include "dialogs/filter.h"
#include "enum/listing_path.h"
#include "enum/wildcard.h"
#include "foldercopy/copy_names.h"

namespace {

using kivo::kComponentChars;
using kivo::kPathChars;

// Characters a parser may get wrong: superscript digits, surrogates, the
// look-alikes of separators, letters whose case changes outside ASCII.
const wchar_t kAwkward[] = {0x00B9, 0x00B2, 0x00B3, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF, 0xFF3C, 0x2215,
                            0x00E9, 0x00C9, 0x0130, 0x0131, 0x212A, 0x017F, 0x00A0, 0x3000, 0xFEFF, 0x00FF};

std::vector<std::wstring> DecodeStrings(const uint8_t *data, size_t size) {
    std::vector<std::wstring> strings(1);
    for (size_t i = 0; i < size; ++i) {
        wchar_t c;
        if (data[i] < 0x80) {
            c = data[i];
        } else if (data[i] == 0xFF && i + 2 < size) {
            c = static_cast<wchar_t>(data[i + 1] | (data[i + 2] << 8));
            i += 2;
        } else {
            size_t slot = data[i] - 0x80;
            c = slot < sizeof kAwkward / sizeof kAwkward[0] ? kAwkward[slot] : data[i];
        }
        if (c == 0) strings.emplace_back();
        else strings.back().push_back(c);
    }
    return strings;
}

// A NUL-terminated copy in a heap block of exactly its length.
std::unique_ptr<wchar_t[]> Exact(const std::wstring &text) {
    std::unique_ptr<wchar_t[]> copy(new wchar_t[text.size() + 1]);
    std::memcpy(copy.get(), text.data(), text.size() * sizeof(wchar_t));
    copy[text.size()] = L'\0';
    return copy;
}

void Fail(const char *what) {
    std::fprintf(stderr, "difference: %s\n", what);
    __builtin_trap();
}

void Check(bool holds, const char *what) {
    if (!holds) Fail(what);
}

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// The wildcard rule by dynamic programming over prefixes: row i says which
// prefixes of the name the first i pattern characters match.
int ReferenceWildcard(const std::wstring &pattern, const std::wstring &name) {
    std::vector<char> row(name.size() + 1, 0), next(name.size() + 1, 0);
    row[0] = 1;
    for (wchar_t p : pattern) {
        next[0] = p == L'*' && row[0];
        for (size_t j = 1; j <= name.size(); ++j) {
            if (p == L'*') next[j] = next[j - 1] || row[j];
            else next[j] = row[j - 1] && (p == L'?' || Upper(p) == Upper(name[j - 1]));
        }
        row.swap(next);
    }
    return row[name.size()];
}

int ReferenceFindPattern(const std::wstring &pattern, const std::wstring &name) {
    if (pattern == L"*" || pattern == L"*.*") return 1;
    if (pattern == L"*." && name.find(L'.') == std::wstring::npos) return 1;
    if (pattern.empty()) return name.empty();
    return ReferenceWildcard(pattern, name);
}

bool ReferenceLocal(const std::wstring &path) {
    if (!path.empty() && (path[0] == L'\\' || path[0] == L'.')) return true;
    return path.size() >= 2 && path[1] == L':';
}

bool IsOneOf(wchar_t c, const wchar_t *set) { return c != 0 && std::wcschr(set, c) != nullptr; }

bool ReferenceReserved(const std::wstring &name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t &c : stem) c = Upper(c);
    if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL") return true;
    if (stem.size() != 4) return false;
    std::wstring port = stem.substr(0, 3);
    wchar_t digit = stem[3];
    bool portDigit = (digit >= L'1' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
    return (port == L"COM" || port == L"LPT") && portDigit;
}

DWORD ReferenceCopyName(const std::wstring &name, bool onDisk) {
    if (name.empty() || name == L"." || name == L"..") return ERROR_INVALID_NAME;
    for (wchar_t c : name) {
        if (IsOneOf(c, L"\\/:")) return ERROR_INVALID_NAME;
        if (onDisk && (c < 0x20 || IsOneOf(c, L"<>\"|?*"))) return ERROR_INVALID_NAME;
    }
    if (!onDisk) return ERROR_SUCCESS;
    if (name.back() == L'.' || name.back() == L' ') return ERROR_INVALID_NAME;
    return ReferenceReserved(name) ? ERROR_INVALID_NAME : ERROR_SUCCESS;
}

std::vector<kivo::FilterPair> ReferenceFilter(const std::wstring &filter) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= filter.size()) {
        size_t bar = filter.find(L'|', start);
        if (bar == std::wstring::npos) bar = filter.size();
        if (bar > start) parts.push_back(filter.substr(start, bar - start));
        start = bar + 1;
    }
    std::vector<kivo::FilterPair> pairs;
    for (size_t i = 0; i + 1 < parts.size(); i += 2) pairs.push_back({parts[i], parts[i + 1]});
    return pairs;
}

// The first character chooses the separators: backslash alone, or
// backslash and slash as device paths take them.
void FuzzSplitComponent(const std::vector<std::wstring> &in) {
    const std::wstring &whole = in[0];
    const wchar_t *separators = !whole.empty() && (whole[0] & 1) ? L"\\/" : L"\\";
    std::wstring text = whole.empty() ? whole : whole.substr(1);
    auto source = Exact(text);
    std::unique_ptr<wchar_t[]> component(new wchar_t[kComponentChars]);
    std::wstring joined, expected;
    for (wchar_t c : text)
        if (!IsOneOf(c, separators)) expected.push_back(c);
    const wchar_t *cursor = source.get();
    for (;;) {
        const wchar_t *rest = kivo::SplitPathComponent(component.get(), cursor, separators);
        size_t length = std::wcslen(component.get());
        Check(length <= kPathChars, "a component longer than 260 characters");
        if (!rest) {
            Check(length == 0, "no rest but a component");
            break;
        }
        Check(length > 0, "an empty component");
        Check(rest > cursor, "no progress");
        Check(!IsOneOf(*rest, separators), "the rest starts with a separator");
        for (size_t i = 0; i < length; ++i) Check(!IsOneOf(component[i], separators), "a separator in a component");
        joined.append(component.get(), length);
        cursor = rest;
    }
    Check(joined == expected, "the components do not make up the path");
}

void FuzzLocalPath(const std::vector<std::wstring> &in) {
    Check(kivo::IsLocalPath(Exact(in[0]).get()) == ReferenceLocal(in[0]), "local-path test");
}

void FuzzListingPath(const std::vector<std::wstring> &in) {
    const std::wstring &path = in[0];
    kivo::ListingPath split;
    bool ok = kivo::SplitListingPath(Exact(path).get(), split);
    Check(split.folder + split.pattern == path, "the parts do not make up the path");
    Check(split.pattern.find_first_of(L"\\/") == std::wstring::npos, "a separator in the pattern");
    Check(split.folder.empty() || IsOneOf(split.folder.back(), L"\\/"), "the folder part does not end a component");
    size_t dot = split.pattern.rfind(L'.');
    size_t base = dot == std::wstring::npos ? split.pattern.size() : dot;
    bool fits = split.folder.size() <= 259 && split.pattern.size() <= 259 && base <= 255 &&
                split.pattern.size() - base <= 255;
    Check(ok == fits, "listing path limits");
}

void FuzzWildcard(const std::vector<std::wstring> &in) {
    const std::wstring &pattern = in[0];
    const std::wstring &name = in.size() > 1 ? in[1] : std::wstring();
    auto p = Exact(pattern), s = Exact(name);
    Check(kivo::MatchWildcard(p.get(), s.get()) == ReferenceWildcard(pattern, name), "wildcard match");
}

void FuzzFindPattern(const std::vector<std::wstring> &in) {
    const std::wstring &pattern = in[0];
    const std::wstring &name = in.size() > 1 ? in[1] : std::wstring();
    auto p = Exact(pattern), s = Exact(name);
    Check(kivo::MatchFindPattern(p.get(), s.get()) == ReferenceFindPattern(pattern, name), "find-pattern rule");
}

void FuzzFilter(const std::vector<std::wstring> &in) {
    std::vector<kivo::FilterPair> got = kivo::ParseFilter(Exact(in[0]).get());
    std::vector<kivo::FilterPair> want = ReferenceFilter(in[0]);
    Check(got.size() == want.size(), "filter pair count");
    for (size_t i = 0; i < got.size() && i < want.size(); ++i)
        Check(got[i].name == want[i].name && got[i].patterns == want[i].patterns, "filter pair");
}

void FuzzCopyNames(const std::vector<std::wstring> &in) {
    const std::wstring &name = in[0];
    auto exact = Exact(name);
    Check(kivo::IsReservedDeviceName(exact.get()) == ReferenceReserved(name), "reserved device name");
    for (bool onDisk : {false, true})
        Check(kivo::CheckCopyName(exact.get(), onDisk) == ReferenceCopyName(name, onDisk), "copy name check");
}

bool ReferenceStorable(const std::wstring &name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        wchar_t c = name[i];
        if (c < 0x20 || (c >= 0xDC00 && c <= 0xDFFF)) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

bool EqualFolded(const std::wstring &a, const std::wstring &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

// The bounded copies into a buffer of exactly the capacity the first
// character gives (0 to 299): the text kept is always a head of the whole,
// and the result says whether it is all of it.
void FuzzBoundedText(const std::vector<std::wstring> &in) {
    const std::wstring &first = in[0];
    size_t capacity = first.empty() ? 0 : first[0] % 300;
    std::wstring text = first.empty() ? first : first.substr(1);
    std::wstring name = in.size() > 1 ? in[1] : std::wstring();
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[capacity ? capacity : 1]);
    buffer[0] = L'#';
    bool fit = kivo::BoundedCopy(buffer.get(), capacity, Exact(text).get());
    Check(fit == (text.size() < capacity), "BoundedCopy's result");
    if (capacity) Check(text.compare(0, std::wcslen(buffer.get()), buffer.get()) == 0, "BoundedCopy's text");
    else Check(buffer[0] == L'#', "BoundedCopy wrote into no room");
    Check(kivo::FitsBuffer(Exact(text).get(), capacity) == (text.size() < capacity), "FitsBuffer");
    std::wstring joined = text + L"\\" + name;
    fit = kivo::BoundedJoin(buffer.get(), capacity, Exact(text).get(), Exact(name).get());
    Check(fit == (joined.size() < capacity), "BoundedJoin's result");
    if (capacity) Check(joined.compare(0, std::wcslen(buffer.get()), buffer.get()) == 0, "BoundedJoin's text");
    if (fit) Check(joined == buffer.get(), "BoundedJoin's whole text");
    Check(kivo::IsStorableName(Exact(text).get()) == ReferenceStorable(text), "storable name");
    Check(kivo::EqualIgnoringAsciiCase(Exact(text).get(), Exact(name).get()) == EqualFolded(text, name),
          "comparison ignoring ASCII case");
}

struct Target {
    const char *name;
    void (*run)(const std::vector<std::wstring> &);
};

const Target kTargets[] = {
    {"split-component", FuzzSplitComponent}, {"local-path", FuzzLocalPath},   {"listing-path", FuzzListingPath},
    {"wildcard", FuzzWildcard},              {"find-pattern", FuzzFindPattern}, {"filter", FuzzFilter},
    {"copy-names", FuzzCopyNames},           {"bounded-text", FuzzBoundedText},
};

const Target *chosen = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *name = std::getenv("KIVO_FUZZ_TARGET");
    for (const Target &target : kTargets)
        if (name && std::strcmp(name, target.name) == 0) chosen = &target;
    if (chosen) return 0;
    std::fprintf(stderr, "set KIVO_FUZZ_TARGET to one of:");
    for (const Target &target : kTargets) std::fprintf(stderr, " %s", target.name);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    chosen->run(DecodeStrings(data, size));
    return 0;
}
