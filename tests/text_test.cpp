// The bounded copy behind every fixed buffer never writes past it.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "core/path_text.h"
#include "core/text.h"
#include "foldercopy/copy_names.h"

TEST(BoundedCopy, NeverWritesPastTheBufferAndReportsACut) {
    for (size_t capacity = 1; capacity <= 8; ++capacity) {
        for (size_t length = 0; length <= 10; ++length) {
            std::wstring source(length, L's');
            wchar_t buffer[12];
            std::wmemset(buffer, L'#', 12);
            bool whole = kivo::BoundedCopy(buffer, capacity, source.c_str());
            EXPECT_EQ(whole, length < capacity) << capacity << "/" << length;
            size_t kept = length < capacity ? length : capacity - 1;
            EXPECT_EQ(std::wstring(buffer), source.substr(0, kept));
            for (size_t i = capacity; i < 12; ++i) EXPECT_EQ(buffer[i], L'#') << "guard " << i;
        }
    }
    wchar_t none[1] = {L'#'};
    EXPECT_FALSE(kivo::BoundedCopy(none, 0, L"x"));
    EXPECT_EQ(none[0], L'#');
}

TEST(EqualIgnoringAsciiCase, FoldsExactlyTheAsciiLetters) {
    EXPECT_TRUE(kivo::EqualIgnoringAsciiCase(L"abcdefghijklmnopqrstuvwxyz", L"ABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    EXPECT_FALSE(kivo::EqualIgnoringAsciiCase(L"\u00e9", L"\u00c9"));
    EXPECT_FALSE(kivo::EqualIgnoringAsciiCase(L"@[", L"`{"));
    EXPECT_FALSE(kivo::EqualIgnoringAsciiCase(L"ab", L"a"));
}

TEST(BoundedJoin, JoinsWithABackslashAndNeverWritesPastTheBuffer) {
    for (size_t capacity = 1; capacity <= 9; ++capacity) {
        for (size_t folder = 0; folder <= 4; ++folder) {
            for (size_t name = 0; name <= 4; ++name) {
                std::wstring a(folder, L'f'), b(name, L'n');
                std::wstring joined = a + L"\\" + b;
                wchar_t buffer[12];
                std::wmemset(buffer, L'#', 12);
                bool whole = kivo::BoundedJoin(buffer, capacity, a.c_str(), b.c_str());
                EXPECT_EQ(whole, joined.size() < capacity) << capacity << "/" << folder << "/" << name;
                if (whole) {
                    EXPECT_EQ(std::wstring(buffer), joined);
                }
                EXPECT_LT(std::wcslen(buffer), capacity);
                for (size_t i = capacity; i < 12; ++i) EXPECT_EQ(buffer[i], L'#') << "guard " << i;
            }
        }
    }
}

TEST(CheckCopyName, RefusesNamesThatAddressAnotherPlace) {
    struct Case {
        const wchar_t *name;
        DWORD onDevice;
        DWORD onDisk;
    };
    const DWORD ok = ERROR_SUCCESS, bad = ERROR_INVALID_NAME;
    const Case cases[] = {
        {L"photo.jpg", ok, ok},      {L".hidden", ok, ok},     {L"", bad, bad},          {L".", bad, bad},
        {L"..", bad, bad},           {L"...", ok, bad},        {L"a\\b", bad, bad},      {L"a/b", bad, bad},
        {L"x:y", bad, bad},          {L"C:", bad, bad},        {L"CON", ok, bad},        {L"con.txt", ok, bad},
        {L"Nul .txt", ok, bad},      {L"COM1", ok, bad},       {L"lpt9.log", ok, bad},   {L"COM\u00b9", ok, bad},
        {L"COM0", ok, ok},           {L"COM10", ok, ok},       {L"CONSOLE", ok, ok},     {L"AUXILIARY.txt", ok, ok},
        {L"photo.jpg.", ok, bad},    {L"trail ", ok, bad},     {L" lead", ok, ok},       {L"a<b", ok, bad},
        {L"a>b", ok, bad},           {L"a\"b", ok, bad},       {L"a|b", ok, bad},        {L"a?b", ok, bad},
        {L"a*b", ok, bad},           {L"tab\there", ok, bad},  {L"\x1f", ok, bad},       {L"caf\u00e9", ok, ok},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(kivo::CheckCopyName(c.name, false), c.onDevice) << "device: " << c.name;
        EXPECT_EQ(kivo::CheckCopyName(c.name, true), c.onDisk) << "disk: " << c.name;
    }
}

TEST(IsStorableName, RefusesEmptyNamesControlCharactersAndLoneSurrogates) {
    EXPECT_TRUE(kivo::IsStorableName(L"photo.jpg"));
    EXPECT_TRUE(kivo::IsStorableName(L"\U0001F600 smile"));
    EXPECT_TRUE(kivo::IsStorableName(L"caf\u00e9"));
    EXPECT_FALSE(kivo::IsStorableName(L""));
    EXPECT_FALSE(kivo::IsStorableName(nullptr));
    EXPECT_FALSE(kivo::IsStorableName(L"tab\there"));
    EXPECT_FALSE(kivo::IsStorableName(L"\x1f"));
    EXPECT_FALSE(kivo::IsStorableName(L"a\xD800"));
    EXPECT_FALSE(kivo::IsStorableName(L"\xD800x"));
    EXPECT_FALSE(kivo::IsStorableName(L"\xDC00"));
    EXPECT_FALSE(kivo::IsStorableName(L"x\xDE00\xD83D"));
}

// The name a replacement waits under is one no listing shows; nothing but
// such a name is taken for one.
TEST(StagingName, IsRecognisedAndNothingElseIs) {
    for (unsigned long long unique : {0ull, 1ull, 0x0123456789abcdefull, ~0ull}) {
        wchar_t name[kivo::kStagingNameChars];
        std::wmemset(name, L'#', kivo::kStagingNameChars);
        kivo::FormatStagingName(name, unique);
        EXPECT_EQ(std::wcslen(name), kivo::kStagingNameChars - 1);
        EXPECT_TRUE(kivo::IsStagingName(name)) << unique;
    }
    for (const wchar_t *other : {L"", L"~kivo", L"~kivo.tmp", L"~kivo0123456789abcde.tmp", L"~kivo0123456789ABCDEF.tmp",
                                 L"~kivo0123456789abcdef.tmpx", L"~kivo0123456789abcdef.TMP", L"~kivo0123456789abcdef",
                                 L"kivo0123456789abcdef.tmp", L"~kivo0123456789abcdefa.tmp", L"photo.jpg"})
        EXPECT_FALSE(kivo::IsStagingName(other)) << std::wstring(other).size();
}
