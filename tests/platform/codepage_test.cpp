// Code-page conversions at the platform's borders.
#include "platform/host.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

TEST(CodePage, AnsiToWideUsesWindows1252) {
    const char text[] = "\x80 \xe9\x9f\x81";
    WCHAR wide[8] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8), 6); // with the null
    EXPECT_EQ(wide[0], 0x20AC); // euro sign
    EXPECT_EQ(wide[2], 0x00E9);
    EXPECT_EQ(wide[3], 0x0178);
    EXPECT_EQ(wide[4], 0x0081); // unassigned slots map to themselves
}

TEST(CodePage, SizeQueryAndShortBuffer) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 0), 3);
    WCHAR two[2];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, two, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, WideToAnsiReplacesWhatItCannotHold) {
    const WCHAR wide[] = {u'S', 0x00E9, 0x4E2D, 0x20AC, 0};
    char text[8] = {};
    BOOL used_default = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, -1, text, 8, nullptr, &used_default), 5);
    EXPECT_STREQ(text, "S\xe9?\x80");
    EXPECT_TRUE(used_default);
}

TEST(CodePage, Utf8RoundTripAtTheHostEdge) {
    EXPECT_EQ(kova_ansi_from_utf8("Soci\xc3\xa9t\xc3\xa9.dat"), "Soci\xe9t\xe9.dat");
    EXPECT_EQ(kova_utf8_from_ansi("Soci\xe9t\xe9 \x80"), "Soci\xc3\xa9t\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(kova_ansi_from_utf8("\xe4\xb8\xad"), "?");
    EXPECT_EQ(kova_ansi_from_utf8("\xff"), "?"); // invalid UTF-8 never passes through raw
}

TEST(CodePage, Utf16SurrogatesThroughUtf8) {
    const char emoji[] = "\xf0\x9f\x98\x80";
    WCHAR wide[4] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, emoji, 4, wide, 4), 2);
    EXPECT_EQ(wide[0], 0xD83D);
    EXPECT_EQ(wide[1], 0xDE00);
    char back[8] = {};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 2, back, 8, nullptr, nullptr), 4);
    EXPECT_STREQ(back, emoji);
}
