// Text helpers: ASCII case, comparisons, searches, caller-buffer texts, fields, strings and
// numbers read from text.
#include "kernel/text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(TextCase, OnlyAsciiLettersFold) {
    EXPECT_EQ(fxd_upper_char('a'), 'A');
    EXPECT_EQ(fxd_upper_char('z'), 'Z');
    EXPECT_EQ(fxd_upper_char('A'), 'A');
    EXPECT_EQ(fxd_upper_char('1'), '1');
    EXPECT_EQ(fxd_upper_char('\xe9'), '\xe9'); // é stays
    EXPECT_EQ(fxd_lower_char('Q'), 'q');
    EXPECT_EQ(fxd_lower_char('\xc9'), '\xc9'); // É stays
    EXPECT_EQ(fxd_lower_char('['), '[');
    char text[] = "abc\xe9xyz";
    EXPECT_EQ(fxd_upper_text(text, 5), text);
    EXPECT_STREQ(text, "ABC\xe9Xyz");
}

TEST(TextCompare, ExactAndWithoutCase) {
    EXPECT_EQ(fxd_compare("abc", "abd", 3), -1);
    EXPECT_EQ(fxd_compare("abc", "abd", 2), 0);
    EXPECT_EQ(fxd_compare("\xff", "a", 1), 1); // unsigned bytes
    EXPECT_EQ(fxd_compare_nocase("Hello", "hELLO", 5), 0);
    EXPECT_EQ(fxd_compare_nocase("abc", "ABD", 3), -1);
    EXPECT_EQ(fxd_compare_nocase("abz", "ABD", 3), 1);
    EXPECT_EQ(fxd_compare_nocase("\xe9", "\xc9", 1), 1); // é and É are different letters
    EXPECT_EQ(fxd_compare_nocase("x", "y", 0), 0);
}

TEST(TextCompare, Prefixes) {
    EXPECT_EQ(fxd_prefix_nocase("\\KOVABrisel\\data", "\\kovabrisel\\"), 0);
    EXPECT_NE(fxd_prefix("\\KOVABrisel\\data", "\\kovabrisel\\"), 0);
    EXPECT_EQ(fxd_prefix("setup.log", "setup"), 0);
    EXPECT_EQ(fxd_prefix("abc", ""), 0);
    EXPECT_EQ(fxd_prefix("ab", "abc"), -1); // a shorter text never matches
    EXPECT_EQ(fxd_prefix_nocase("AB", "abc"), -1);
    EXPECT_EQ(fxd_prefix("abd", "abc"), 1);
    EXPECT_EQ(fxd_prefix_nocase("ABB", "abc"), -1);
}

TEST(TextCompare, AllEqual) {
    const uint8_t zeros[4] = {}, mixed[4] = {0, 0, 1, 0};
    EXPECT_TRUE(fxd_all_equal(0, zeros, 4));
    EXPECT_FALSE(fxd_all_equal(0, mixed, 4));
    EXPECT_TRUE(fxd_all_equal(0, mixed, 2));
    EXPECT_TRUE(fxd_all_equal(7, mixed, 0));
    EXPECT_TRUE(fxd_all_equal(' ', "   ", 3));
}

TEST(TextSearch, CharactersAndNeedles) {
    const char *path = "C:\\kova2006\\kvpatch.exe";
    EXPECT_EQ(fxd_find_char('\\', path), path + 3);
    EXPECT_EQ(fxd_find_char('q', path), nullptr);
    EXPECT_EQ(fxd_find_char('\0', path), nullptr);

    EXPECT_EQ(fxd_find_nocase("\\KOVA2006\\", path), path + 12);
    EXPECT_EQ(*fxd_find_nocase("\\KOVA2006\\", path), 'k');
    EXPECT_EQ(fxd_find_nocase("", path), path);
    EXPECT_EQ(fxd_find_nocase("EXE", path), path + std::strlen(path));
    EXPECT_EQ(fxd_find_nocase("exes", path), nullptr);
    // After a partial match the search goes on from the next character.
    const char *repeated = "aaAB";
    EXPECT_EQ(fxd_find_nocase("aab", repeated), repeated + 4);
    char writable[] = "xxYy";
    char *found = fxd_find_nocase("yy", writable);
    EXPECT_EQ(found, writable + 4);

    EXPECT_EQ(fxd_find("abcabc", "ca"), 2);
    EXPECT_EQ(fxd_find("abc", "abc"), 0);
    EXPECT_EQ(fxd_find("abc", "ABC"), DXD_NOT_FOUND);
    EXPECT_EQ(fxd_find("ab", "abc"), DXD_NOT_FOUND);
}

TEST(TextBuffers, ClearAppendAndFixedLengthTexts) {
    char buffer[32] = "junk";
    EXPECT_EQ(fxd_clear(buffer), buffer);
    EXPECT_STREQ(buffer, "");
    fxd_append_char(buffer, 'x');
    fxd_append_char(buffer, '\\');
    fxd_append_text(buffer, "name    ", 8);
    fxd_append_text(buffer, "   ", 3);
    fxd_append_text(buffer, "e\0\0", 3);
    EXPECT_STREQ(buffer, "x\\namee");
}

TEST(TextFields, PlaceJustifyAndTrim) {
    struct Case {
        const char *text;
        uint16_t width;
        char alignment;
        const char *field;
    } cases[] = {
        {"abc", 7, 'C', "  abc  "},
        {"abc", 7, 'R', "    abc"},
        {"abc", 7, 'L', "abc    "},
        {"abc", 6, 'C', " abc  "},
        {"abcdefghi", 7, 'R', "abcdefg"},
        {"abcdefghi", 7, 'C', "abcdefg"},
        {"", 3, 'C', "   "},
    };
    for (const Case &c : cases) {
        char field[16];
        std::memset(field, 'X', sizeof field);
        EXPECT_EQ(fxd_place(c.text, field, c.width, c.alignment), field);
        EXPECT_EQ(std::string(field, c.width), c.field) << c.text << " " << c.alignment;
        EXPECT_EQ(field[c.width], 'X');
    }

    char field[] = "  ab c   X";
    fxd_ljust(field, 9);
    EXPECT_STREQ(field, "ab c     X");
    fxd_rjust(field, 9);
    EXPECT_STREQ(field, "     ab cX");
    char blank[] = "    X";
    fxd_ljust(blank, 4);
    fxd_rjust(blank, 4);
    EXPECT_STREQ(blank, "    X");

    char text[] = "   two words  ";
    EXPECT_STREQ(fxd_trim(text), "two words");
    char spaces[] = "   ";
    EXPECT_STREQ(fxd_trim(spaces), "");
}

TEST(TextStrings, CaseTrimBlanksAndReplace) {
    std::string s = "Mixed Case 1";
    EXPECT_EQ(fxd_string_upper(s), "MIXED CASE 1");
    EXPECT_EQ(fxd_string_lower(s), "mixed case 1");
    s = " \t padded \t ";
    EXPECT_EQ(fxd_string_trim(s), "\t padded \t"); // blanks only
    s = "    ";
    EXPECT_EQ(fxd_string_trim(s), "");
    s = " a\tb c\t";
    EXPECT_EQ(fxd_string_remove_blanks(s), "abc");

    struct Case {
        const char *text, *from, *to, *expected;
    } cases[] = {
        {"a.b.c", ".", "\\", "a\\b\\c"},
        {"aaa", "a", "aa", "aaaaaa"}, // scanning goes on after what was inserted
        {"abcabc", "abc", "", ""},
        {"xyz", "q", "r", "xyz"},
        {"xyz", "", "r", "xyz"},
        {"%1 and %1", "%1", "it", "it and it"},
    };
    for (const Case &c : cases) {
        std::string t = c.text;
        EXPECT_EQ(fxd_string_replace(t, c.from, c.to), c.expected) << c.text;
    }
    std::string removed = "a-b-c";
    EXPECT_EQ(fxd_string_replace(removed, "-"), "abc");
}

TEST(TextNumbers, ReadingDecimalAndHexadecimal) {
    struct Case {
        const char *text;
        int type;
        uint16_t code;
        uint32_t value;
    } cases[] = {
        {"123", 5, 0, 123},
        {"12 xyz", 5, 0, 12}, // a blank after a digit ends the number
        {" 12", 5, DXD_NUMBER_RANGE, 0},
        {"", 5, DXD_NUMBER_RANGE, 0},
        {"4294967295", 2, 0, 4294967295u},
        {"4294967296", 5, DXD_NUMBER_RANGE, 0},
        {"42949672950", 5, DXD_NUMBER_RANGE, 0},
        {"ff", 6, 0, 255},
        {"DeadBeef", 4, 0, 0xDEADBEEF},
        {"100000000", 6, DXD_NUMBER_RANGE, 0},
        {"1x", 5, DXD_NUMBER_BAD_DIGIT, 0},
        {"ff", 5, DXD_NUMBER_BAD_DIGIT, 0},
        {"-5", 5, DXD_NUMBER_BAD_DIGIT, 0},
        {"1.5", 5, DXD_NUMBER_BAD_DIGIT, 0},
        {"12", 3, DXD_NUMBER_BAD_TYPE, 0},
        {"12", 0, DXD_NUMBER_BAD_TYPE, 0},
    };
    for (const Case &c : cases) {
        uint32_t value = 77;
        EXPECT_EQ(fxd_parse_number(c.text, c.type, &value), c.code) << c.text;
        EXPECT_EQ(value, c.code ? 77u : c.value) << c.text;
    }
    uint32_t value = 0;
    EXPECT_EQ(fxd_parse_number("1234", 2, 5, &value), 0);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(fxd_parse_number("1234", 0, 5, &value), DXD_NUMBER_RANGE);
}

TEST(TextNumbers, WordsAndBytesRejectLargerValues) {
    uint16_t word = 1;
    uint8_t byte = 1;
    EXPECT_EQ(fxd_parse_word("65535", 5, &word), 0);
    EXPECT_EQ(word, 65535);
    EXPECT_EQ(fxd_parse_word("65536", 5, &word), DXD_NUMBER_RANGE);
    EXPECT_EQ(fxd_parse_word("FFFF", 6, &word), 0);
    EXPECT_EQ(fxd_parse_word("1x", 5, &word), DXD_NUMBER_BAD_DIGIT);
    EXPECT_EQ(word, 0xFFFF);
    EXPECT_EQ(fxd_parse_byte("255", 5, &byte), 0);
    EXPECT_EQ(byte, 255);
    EXPECT_EQ(fxd_parse_byte("256", 5, &byte), DXD_NUMBER_RANGE);
    EXPECT_EQ(fxd_parse_byte("1ff", 4, &byte), DXD_NUMBER_RANGE);
    EXPECT_EQ(fxd_parse_byte("7f ", 3, 6, &byte), 0);
    EXPECT_EQ(byte, 0x7F);
    EXPECT_EQ(fxd_parse_byte("7", 1, 9, &byte), DXD_NUMBER_BAD_TYPE);
}

} // namespace
