// Wildcard matching: the documented cases, equivalence with the
// shortest-first backtracking rule on random inputs, and the find-pattern
// rule.
#include "support/test_support.h"

#include <cstring>
#include <random>

#include "enum/wildcard.h"
#include "support/reference_wildcard.h"
#include "include/kivo.h"

using namespace kivotest;
using kivo::MatchFindPattern;
using kivo::MatchWildcard;

namespace {

std::wstring RandomText(std::mt19937 &random, const std::wstring &alphabet, size_t maxLength) {
    std::uniform_int_distribution<size_t> length(0, maxLength), pick(0, alphabet.size() - 1);
    std::wstring out(length(random), L' ');
    for (auto &c : out) c = alphabet[pick(random)];
    return out;
}

}  // namespace

TEST(Wildcard, DocumentedCases) {
    EXPECT_EQ(KivoWildcardMatch(L"", L""), 1);
    EXPECT_EQ(KivoWildcardMatch(L"", L"a"), 0);
    EXPECT_EQ(MatchWildcard(L"*", L""), 1);
    EXPECT_EQ(MatchWildcard(L"?", L""), 0);
    EXPECT_EQ(MatchWildcard(L"*.TXT", L"notes.txt"), 1);
    EXPECT_EQ(MatchWildcard(L"*.TXT", L"NOTES.TXT"), 1);
    EXPECT_EQ(MatchWildcard(L"a?c", L"ABC"), 1);
    EXPECT_EQ(MatchWildcard(L"a?c", L"ac"), 0);
    EXPECT_EQ(MatchWildcard(L"a?c", L"abcd"), 0);
    EXPECT_EQ(MatchWildcard(L"*a", L"ba"), 1);
    EXPECT_EQ(MatchWildcard(L"*a", L"a"), 1);
    EXPECT_EQ(MatchWildcard(L"*a", L"ab"), 0);
    EXPECT_EQ(MatchWildcard(L"a*", L"a"), 1);
    EXPECT_EQ(MatchWildcard(L"\xE9", L"\xC9"), 0) << "é and É differ";
    EXPECT_EQ(MatchWildcard(L"\xE9*", L"\xE9t\xE9"), 1);
}

TEST(Wildcard, NullArgumentsGiveZero) {
    EXPECT_EQ(KivoWildcardMatch(nullptr, L"a"), 0);
    EXPECT_EQ(KivoWildcardMatch(L"*", nullptr), 0);
}

TEST(Wildcard, EqualsTheBacktrackingRuleOnRandomInputs) {
    std::mt19937 random(20261208);
    const std::wstring patternAlphabet = L"ab*?.Aé\xC9";
    const std::wstring nameAlphabet = L"abAB.é\xC9";
    for (int i = 0; i < 200000; ++i) {
        std::wstring pattern = RandomText(random, patternAlphabet, 8);
        if (pattern.empty()) pattern = L"*";
        std::wstring name = RandomText(random, nameAlphabet, 10);
        ASSERT_EQ(MatchWildcard(pattern.c_str(), name.c_str()), ReferenceMatch(pattern.c_str(), name.c_str()))
            << "pattern '" << Narrow(pattern) << "' name '" << Narrow(name) << "'";
    }
}

TEST(Wildcard, ManyStarsAgainstALongNameAreAnsweredAtOnce) {
    std::wstring name(258, L'a');
    name += L'b';
    EXPECT_EQ(MatchWildcard(L"*a*a*a*a*a*a*a*a*a*a*a*a*c", name.c_str()), 0);
    EXPECT_EQ(MatchWildcard(L"*a*a*a*a*a*a*a*a*a*a*a*a*b", name.c_str()), 1);
}

TEST(FindPattern, DotRules) {
    EXPECT_EQ(MatchFindPattern(L"*.", L"README"), 1);
    EXPECT_EQ(MatchFindPattern(L"*.", L""), 1);
    EXPECT_EQ(MatchFindPattern(L"*.", L"a.txt"), 0);
    EXPECT_EQ(MatchFindPattern(L"*.", L"a.b."), 1);
    EXPECT_EQ(MatchFindPattern(L"*.*", L"README"), 1);
    EXPECT_EQ(MatchFindPattern(L"*.*", L"a.txt"), 1);
    EXPECT_EQ(MatchFindPattern(L"*", L""), 1);
    EXPECT_EQ(MatchFindPattern(L"", L""), 1);
    EXPECT_EQ(MatchFindPattern(L"", L"a"), 0);
    EXPECT_EQ(MatchFindPattern(L"*.JPG", L"a.jpg"), 1);
    EXPECT_EQ(MatchFindPattern(L"*.*.", L"README"), 0) << "only the three fixed strings are special";
}

TEST(FindPattern, CopyFindDataWritesUpToEachTerminator) {
    WIN32_FIND_DATAW source{}, destination;
    std::memset(&destination, 0x7F, sizeof destination);
    wcscpy(source.cFileName, L"abc");
    wcscpy(source.cAlternateFileName, L"o12");
    source.dwFileAttributes = 0x10;
    source.nFileSizeHigh = 1;
    source.nFileSizeLow = 2;
    source.ftLastWriteTime.dwLowDateTime = 3;
    kivo::CopyFindData(destination, source);
    EXPECT_STREQ(destination.cFileName, L"abc");
    EXPECT_EQ(destination.cFileName[4], 0x7F7F) << "characters after the terminator are left";
    EXPECT_STREQ(destination.cAlternateFileName, L"o12");
    EXPECT_EQ(destination.cAlternateFileName[4], 0x7F7F);
    EXPECT_EQ(destination.dwFileAttributes, 0x10u);
    EXPECT_EQ(destination.nFileSizeHigh, 1u);
    EXPECT_EQ(destination.nFileSizeLow, 2u);
    EXPECT_EQ(destination.ftLastWriteTime.dwLowDateTime, 3u);
    EXPECT_EQ(destination.dwReserved0, 0u);
}
