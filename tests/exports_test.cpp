// The path and matching exports as a host calls them, through kivo.dll.
#include "support/test_support.h"

#include "include/kivo.h"

TEST(CheckDevicePathName, LocalPathsAndDeviceCandidates) {
    EXPECT_EQ(KivoCheckDevicePathName(L"C:\\x"), 0);
    EXPECT_EQ(KivoCheckDevicePathName(L"\\\\server\\share"), 0);
    EXPECT_EQ(KivoCheckDevicePathName(L"\\x"), 0);
    EXPECT_EQ(KivoCheckDevicePathName(L".\\x"), 0);
    EXPECT_EQ(KivoCheckDevicePathName(L"..\\x"), 0);
    EXPECT_EQ(KivoCheckDevicePathName(L"Phone\\Card\\a.jpg"), 1);
    EXPECT_EQ(KivoCheckDevicePathName(L"folder\\file"), 1);
    EXPECT_EQ(KivoCheckDevicePathName(L"/x"), 1);
    EXPECT_EQ(KivoCheckDevicePathName(L""), 1);
    EXPECT_EQ(KivoCheckDevicePathName(L"a"), 1);
    EXPECT_EQ(KivoCheckDevicePathName(nullptr), 0);
}

TEST(WildcardMatch, ThroughTheLibrary) {
    EXPECT_EQ(KivoWildcardMatch(L"*.jpg", L"PHOTO.JPG"), 1);
    EXPECT_EQ(KivoWildcardMatch(L"*.jpg", L"photo.jpeg"), 0);
    EXPECT_EQ(KivoWildcardMatch(L"", L""), 1);
    EXPECT_EQ(KivoWildcardMatch(nullptr, nullptr), 0);
}
