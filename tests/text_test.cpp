// The bounded copy behind every fixed buffer never writes past it.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "core/text.h"

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
