// The tagged format engine: scanning, every tag, the four front ends and their sinks.
#include "kernel/text/format.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string fmt(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string out;
    fxd_fmt_vassign(out, format, args);
    va_end(args);
    return out;
}

const TXD_DATE dec9_2026{0x09, 0x12, 0x20, 0x26};
const TXD_CLOCK dec9_2026_140509{{0x09, 0x12, 0x20, 0x26}, {0x14, 0x05, 0x09}};

TEST(FormatScanning, PercentSignsAndUnknownTags) {
    EXPECT_EQ(fmt(""), "");
    EXPECT_EQ(fmt("plain"), "plain");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("ends in %"), "ends in %");
    EXPECT_EQ(fmt("a %x stays"), "a %x stays");
    // A tag without its comma is no tag: % and the next byte pass, scanning goes on.
    EXPECT_EQ(fmt("%dword%"), "%dword%");
    EXPECT_EQ(fmt("%%str%"), "%str%");
}

TEST(FormatScanning, TagNamesFoldOnlyAsciiLetters) {
    EXPECT_EQ(fmt("%STR%|%Str%|%sTr%", "a", "b", "c"), "a|b|c");
    EXPECT_EQ(fmt("%DWord%,5", 7u), "7");
}

TEST(FormatScanning, StyleDigitTakesOneCharacterLengthTakesAllDigits) {
    EXPECT_EQ(fmt("%dword%,5ms", 250u), "250ms");
    EXPECT_EQ(fmt("%dword%,10", 42u), "        420");
    EXPECT_EQ(fmt("%dword%,5x%dword%,5", 1920u, 1080u), "1920x1080");
    const std::string field35 = std::string("short") + std::string(30, ' ');
    EXPECT_EQ(fmt("[%text%,35]", field35.c_str()), "[short]");
    EXPECT_EQ(fmt("[%text%,3]x", "abcdef"), "[abc]x");
    EXPECT_EQ(fmt("[%text%,]", "abc"), "[]");
    // A format that ends right after the comma reads style 0 and stops cleanly.
    EXPECT_EQ(fmt("n=%dword%,", 5u), "n=");
    EXPECT_EQ(fmt("q=%eqstr%,", "a\"b"), "q=a\"\"b");
}

TEST(FormatTags, Texts) {
    const char field[] = {'a', 'b', ' ', 'c', ' ', ' ', '\0', ' '};
    EXPECT_EQ(fmt("[%str%]", "hello"), "[hello]");
    EXPECT_EQ(fmt("[%str%]", nullptr), "[]");
    EXPECT_EQ(fmt("[%txt%]", field, 8), "[ab c]");
    EXPECT_EQ(fmt("[%txt%]", "    ", 4), "[]");
    EXPECT_EQ(fmt("[%txt%]", "abc", 0), "[]");
    EXPECT_EQ(fmt("[%utxt%]", "  ab  ", 6), "[ab]");
    EXPECT_EQ(fmt("[%txt%]", "  ab  ", 6), "[  ab]");
    EXPECT_EQ(fmt("[%char%%char%]", 'o', 'k'), "[ok]");
    // Embedded NULs before the trimmed end are kept.
    EXPECT_EQ(fmt("%txt%", "a\0b ", 4), std::string("a\0b", 3));
}

TEST(FormatTags, WideTextsAreConvertedToTheAnsiCodePage) {
    const auto societe = kova_test::wide(u"Soci\u00e9t\u00e9");
    EXPECT_EQ(fmt("%wstr%", societe.c_str()), "Soci\xe9t\xe9");
    EXPECT_EQ(fmt("[%wtxt%]", kova_test::wide(u"ab  \0\0").c_str(), 6), "[ab]");
    EXPECT_EQ(fmt("[%uwtxt%]", kova_test::wide(u"  ab  ").c_str(), 6), "[ab]");
    EXPECT_EQ(fmt("[%wtext%,3]", kova_test::wide(u"abcdef").c_str()), "[abc]");
    EXPECT_EQ(fmt("[%wtxt%]", kova_test::wide(u"ab").c_str(), 0), "[]");
    // Characters outside the code page become '?'; a surrogate pair is one character.
    EXPECT_EQ(fmt("[%wstr%]", kova_test::wide(u"a\u4e2db").c_str()), "[a?b]");
    EXPECT_EQ(fmt("[%wstr%]", kova_test::wide(u"a\U0001F600b").c_str()), "[a?b]");
    // A NUL inside the field ends the conversion: nothing after it is emitted.
    EXPECT_EQ(fmt("[%wtxt%]", kova_test::wide(u"ab\0cd").c_str(), 5), "[ab]");
}

TEST(FormatTags, Numbers) {
    struct Case {
        const char *format;
        uint32_t value;
        const char *expected;
    } cases[] = {
        {"%dword%,5", 0, "0"},
        {"%dword%,4", 255, "000000FF"},
        {"%dword%,1", 42, "        42"},
        {"%dword%,2", 42, "0000000042"},
        {"%dword%,3", 255, "      FF"},
        {"%dword%,6", 0xABCDEF, "ABCDEF"},
        {"%dword%,5", 4294967295u, "4294967295"},
        {"%size%,5", 123456, "123456"},
        {"%word%,4", 26, "001A"},
        {"%word%,1", 65535, "65535"},
        {"%word%,5", 0x12345, "9029"}, // only the low 16 bits of the argument count
        {"%byte%,5", 200, "200"},
        {"%byte%,2", 7, "007"},
        {"%byte%,3", 10, " A"},
        {"%dword%,0", 5, ""},
        {"%word%,7", 5, ""},
        {"%byte%,9", 5, ""},
    };
    for (const Case &c : cases) EXPECT_EQ(fmt(c.format, c.value), c.expected) << c.format;
    EXPECT_EQ(fmt("%qword%,5", uint64_t{10000000000}), "10000000000");
    EXPECT_EQ(fmt("%qword%,4", uint64_t{0x1234}), "0000000000001234");
    EXPECT_EQ(fmt("%qword%,1", uint64_t{18446744073709551615u}), "18446744073709551615");
}

TEST(FormatTags, QuotesDoubled) {
    EXPECT_EQ(fmt("'%eqstr%,1'", "it's"), "'it''s'");
    EXPECT_EQ(fmt("%eqstr%,2", "say \"hi\" it's"), "say \"\"hi\"\" it's");
    EXPECT_EQ(fmt("%eqstr%,1", ""), "");
}

TEST(FormatTags, DatesTimesClocksAndBcd) {
    const TXD_DATE empty{0, 0, 0, 0};
    const TXD_DATE2 feb1_2001{0x01, 0x02, 0xA1};
    const TXD_TIME time{0x14, 0x05, 0x09};
    const TXD_BCD amount{0x23, {0x00, 0x12, 0x34}};
    const uint8_t digits[] = {0x00, 0x12, 0x34};
    EXPECT_EQ(fmt("%date%,6", &dec9_2026), "09-12-2026");
    EXPECT_EQ(fmt("[%date%,2]", &empty), "[]");
    EXPECT_EQ(fmt("[%date%,1]", &empty), "[        ]");
    EXPECT_EQ(fmt("%date%,10", &empty), "--/--/--");
    EXPECT_EQ(fmt("%date2%,2", &feb1_2001), "Thursday 1st February 2001");
    EXPECT_EQ(fmt("%time%,1|%time%,3", &time, &time), "14:05|140509");
    EXPECT_EQ(fmt("%clock%,8", &dec9_2026_140509), "2026-12-09T14:05:09Z");
    EXPECT_EQ(fmt("[%clock%,1]", &dec9_2026_140509), "[09/12/2026 14:05]");
    EXPECT_EQ(fmt("kv%clock%,6.log", &dec9_2026_140509), "kv20261209140509.log");
    EXPECT_EQ(fmt("[%bcd%,1]", &amount), "[  12.34]");
    EXPECT_EQ(fmt("[%bcdu%,2]", digits, 0xA3), "[-12.34]");
}

TEST(FormatTags, ArgumentsAreTakenInTagOrder) {
    EXPECT_EQ(fmt("%str% %txt% %dword%,5 %date%,9 %char%", "a", "bc  ", 4, 17u, &dec9_2026, '!'),
              "a bc 17 2026-12-09 !");
}

// The engine with a caller's sink: literal bytes go one at a time, each tag in one piece.
TEST(FormatEngine, EmitsLiteralBytesSinglyAndEachTagWhole) {
    std::vector<std::string> pieces;
    auto emit = [](void *sink, const char *bytes, size_t count) {
        static_cast<std::vector<std::string> *>(sink)->emplace_back(bytes, count);
    };
    auto run = [&](const char *format, ...) {
        va_list args;
        va_start(args, format);
        void *sink = fxd_fmt_engine(format, &pieces, emit, args);
        va_end(args);
        return sink;
    };
    EXPECT_EQ(run("ab%str%%dword%,5", "xyz", 1234u), &pieces);
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b", "xyz", "1234"}));
}

std::string &append_v(std::string &out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    char buffer[64] = "pre:";
    fxd_fmt_buffer_append(buffer, format, args);
    va_end(args);
    return out.assign(buffer);
}

TEST(FormatFrontEnds, AppendAssignAndBuffers) {
    std::string s = "x=";
    EXPECT_EQ(&fxd_fmt_append(s, "%dword%,5;", 1u), &s);
    fxd_fmt_append(s, "%dword%,5", 2u);
    EXPECT_EQ(s, "x=1;2");
    EXPECT_EQ(fxd_fmt_assign(s, "%str%", "new"), "new");
    EXPECT_EQ(fxd_fmt_append(std::string("tmp "), "%dword%,5", 3u), "tmp 3");

    char buffer[32] = "old text";
    EXPECT_EQ(fxd_fmt_buffer(buffer, "%dword%,5", 99u), buffer);
    EXPECT_STREQ(buffer, "99");
    EXPECT_STREQ(fxd_fmt_buffer(buffer, ""), "");
    std::string appended;
    EXPECT_EQ(append_v(appended, "%str%!", "more"), "pre:more!");
}

TEST(FormatFrontEnds, AnArgumentMayPointIntoTheTextBeingWritten) {
    std::string s = "abc";
    fxd_fmt_append(s, "-%str%-%str%", s.c_str(), s.c_str());
    EXPECT_EQ(s, "abc-abc-abc");
    fxd_fmt_assign(s, "[%str%]", s.c_str());
    EXPECT_EQ(s, "[abc-abc-abc]");
    char buffer[32] = "xy";
    fxd_fmt_buffer(buffer, "%str%%str%", buffer, buffer);
    EXPECT_STREQ(buffer, "xyxy");
}

} // namespace
