// The value formatters: number, date, time, clock and packed-decimal styles, trimmed lengths,
// day numbers and weekdays.
#include "kernel/text/dates.h"
#include "kernel/text/format.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

namespace {

constexpr TXD_DATE date(int day, int month, int year) {
    auto bcd = [](int v) { return static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10); };
    return TXD_DATE{bcd(day), bcd(month), bcd(year / 100), bcd(year % 100)};
}

const TXD_DATE dec9_2026 = date(9, 12, 2026);
const TXD_DATE empty_date{0, 0, 0, 0};
const TXD_TIME t140509{0x14, 0x05, 0x09};

std::string date_text(const TXD_DATE &d, int style) {
    char out[DXD_FORMAT_ROOM];
    std::memset(out, 'X', sizeof out);
    return fxd_date_format(&d, out, style);
}

TEST(NumberFormat, StylesAndWidthsOfEveryType) {
    struct Case {
        int style;
        const char *byte, *word, *dword, *qword;
    } cases[] = {
        {1, " 42", "   42", "        42", "                  42"},
        {2, "042", "00042", "0000000042", "00000000000000000042"},
        {3, "2A", "  2A", "      2A", "              2A"},
        {4, "2A", "002A", "0000002A", "000000000000002A"},
        {5, "42", "42", "42", "42"},
        {6, "2A", "2A", "2A", "2A"},
        {0, "", "", "", ""},
        {7, "", "", "", ""},
    };
    char out[DXD_FORMAT_ROOM];
    for (const Case &c : cases) {
        EXPECT_STREQ(fxd_byte_format(42, out, c.style), c.byte) << c.style;
        EXPECT_STREQ(fxd_word_format(42, out, c.style), c.word) << c.style;
        EXPECT_STREQ(fxd_dword_format(42, out, c.style), c.dword) << c.style;
        EXPECT_STREQ(fxd_qword_format(42, out, c.style), c.qword) << c.style;
    }
}

TEST(NumberFormat, LimitsAndZero) {
    char out[DXD_FORMAT_ROOM];
    EXPECT_STREQ(fxd_byte_format(255, out, 1), "255");
    EXPECT_STREQ(fxd_byte_format(255, out, 3), "FF");
    EXPECT_STREQ(fxd_word_format(65535, out, 2), "65535");
    EXPECT_STREQ(fxd_dword_format(0, out, 5), "0");
    EXPECT_STREQ(fxd_dword_format(0, out, 1), "         0");
    EXPECT_STREQ(fxd_dword_format(0xFFFFFFFF, out, 6), "FFFFFFFF");
    EXPECT_STREQ(fxd_qword_format(UINT64_MAX, out, 1), "18446744073709551615");
    EXPECT_STREQ(fxd_qword_format(UINT64_MAX, out, 4), "FFFFFFFFFFFFFFFF");
    EXPECT_STREQ(fxd_qword_format(10000000000ull, out, 5), "10000000000");
}

TEST(NumberFormat, DigitsFillExactlyTheWidth) {
    struct Case {
        uint32_t value;
        int width, style;
        const char *expected;
    } cases[] = {
        {42, 6, 1, "    42"},  {42, 6, 2, "000042"}, {42, 6, 5, "42    "},
        {255, 6, 6, "FF    "}, {0, 3, 5, "0  "},     {123456, 4, 1, "3456"},
    };
    for (const Case &c : cases) {
        char out[16];
        std::memset(out, 'X', sizeof out);
        fxd_digits_format(c.value, out, c.width, c.style);
        EXPECT_EQ(std::string(out, c.width), c.expected) << c.value << "/" << c.style;
        EXPECT_EQ(out[c.width], 'X') << "no NUL is written";
    }
}

TEST(DateFormat, EveryStyleOf9December2026) {
    const char *expected[] = {"",           "09-12-26",   "Wednesday 9th December 2026",
                              "091226",     "C61209",     "9th December 2026",
                              "09-12-2026", "Dec 9 2026", "09/12/2026",
                              "2026-12-09", "09-12-26",   "Dec 2026",
                              "120926",     "20261209",   ""};
    for (int style = 0; style <= 14; ++style) {
        EXPECT_EQ(date_text(dec9_2026, style), expected[style]) << style;
    }
    EXPECT_EQ(date_text(dec9_2026, -1), "");
}

TEST(DateFormat, EmptyDateKeepsTheFieldBlank) {
    // Fixed layouts keep their width in blanks; the trimmed ones (2, 5, 7) are empty.
    const size_t blanks[] = {0, 8, 0, 6, 6, 0, 10, 0, 10, 10, 0, 8, 6, 8};
    for (int style = 0; style <= 13; ++style) {
        const std::string expected = style == 10 ? "--/--/--" : std::string(blanks[style], ' ');
        EXPECT_EQ(date_text(empty_date, style), expected) << style;
    }
}

TEST(DateFormat, DaysSuffixesYearsAndInvalidMonths) {
    struct Case {
        TXD_DATE d;
        int style;
        const char *expected;
    } cases[] = {
        {date(22, 2, 2023), 2, "Wednesday 22nd February 2023"},
        {date(29, 2, 2024), 2, "Thursday 29th February 2024"},
        {date(31, 12, 1999), 2, "Friday 31st December 1999"},
        {date(1, 1, 2000), 2, "Saturday 1st January 2000"},
        {date(3, 5, 2026), 5, "3rd May 2026"},
        {date(23, 5, 2026), 5, "23rd May 2026"},
        {date(21, 9, 1999), 5, "21st September 1999"},
        {date(11, 11, 2011), 5, "11th November 2011"},
        {date(12, 12, 2012), 5, "12th December 2012"},
        {date(13, 3, 2013), 5, "13th March 2013"},
        {date(29, 9, 2026), 2, "Tuesday 29th September 2026"}, // the widest, 29 characters
        {date(21, 9, 1999), 7, "Sep 21 1999"},
        {date(1, 9, 1999), 7, "Sep 1 1999"},
        {date(9, 12, 1999), 4, "991209"},
        {date(9, 12, 2009), 4, "A91209"},
        {date(31, 1, 2059), 4, "F90131"},
        {date(9, 12, 1999), 1, "09-12-99"},
        {date(9, 12, 2000), 1, "09-12-00"},
        {date(9, 12, 2000), 12, "120900"},
        {date(5, 6, 1901), 13, "19010605"},
        // An invalid month leaves the name out and nothing else.
        {TXD_DATE{0x09, 0x13, 0x20, 0x26}, 5, "9th  2026"},
        {TXD_DATE{0x09, 0x00, 0x20, 0x26}, 7, "    9 2026"},
        {TXD_DATE{0x09, 0x13, 0x20, 0x26}, 11, "    2026"},
        {TXD_DATE{0x09, 0x13, 0x20, 0x26}, 6, "09-13-2026"},
    };
    for (const Case &c : cases) EXPECT_EQ(date_text(c.d, c.style), c.expected) << c.expected;
}

TEST(DateFormat, ShortDatesConvertFirst) {
    char out[DXD_FORMAT_ROOM];
    const TXD_DATE2 feb1_2001{0x01, 0x02, 0xA1}, dec9_2026_short{0x09, 0x12, 0xC6};
    const TXD_DATE2 dec31_1999{0x31, 0x12, 0x99}, empty{0, 0, 0};
    EXPECT_STREQ(fxd_date2_format(&feb1_2001, out, 2), "Thursday 1st February 2001");
    EXPECT_STREQ(fxd_date2_format(&dec9_2026_short, out, 9), "2026-12-09");
    EXPECT_STREQ(fxd_date2_format(&dec31_1999, out, 6), "31-12-1999");
    EXPECT_STREQ(fxd_date2_format(&empty, out, 10), "--/--/--");
}

TEST(TimeFormat, Styles) {
    const char *expected[] = {"14:05:09", "14:05",    "14:05:09", "140509",
                              "1405",     "14:05:09", "14:05:09"};
    char out[DXD_FORMAT_ROOM];
    for (int style = 0; style <= 6; ++style) {
        EXPECT_STREQ(fxd_time_format(&t140509, out, style), expected[style]) << style;
    }
    const TXD_TIME midnight{0, 0, 0};
    EXPECT_STREQ(fxd_time_format(&midnight, out, 2), "00:00:00");
}

TEST(ClockFormat, StylesAtTheirMinimumWidthAndOneLess) {
    const TXD_CLOCK clock{dec9_2026, t140509};
    struct Case {
        int style;
        const char *layout;
    } cases[] = {
        {0, "09/12/2026 14:05"}, {1, "09/12/2026 14:05"},    {2, "09-12-2026 14:05:09"},
        {3, "091226140509"},     {4, "2026-12-09 14:05:09"}, {5, "Wed 09-12-26 14:05"},
        {6, "20261209140509"},   {7, "09-12-2026 14:05"},    {8, "2026-12-09T14:05:09Z"},
        {9, "261209140509"},     {10, "09/12/2026 14:05"},   {99, "09/12/2026 14:05"},
    };
    for (const Case &c : cases) {
        const auto width = static_cast<uint16_t>(std::strlen(c.layout));
        char out[32];
        std::memset(out, 'X', sizeof out);
        fxd_clock_format(&clock, out, width, c.style);
        EXPECT_EQ(std::string(out, width), c.layout) << c.style;
        EXPECT_EQ(out[width], 'X') << "no NUL is written";
        fxd_clock_format(&clock, out, width - 1, c.style);
        EXPECT_EQ(std::string(out, width - 1), std::string(width - 1, ' ')) << c.style;
        if (c.style == 7) continue; // wider fields change its layout, below
        fxd_clock_format(&clock, out, 24, c.style);
        EXPECT_EQ(std::string(out, 24), c.layout + std::string(24 - width, ' ')) << c.style;
    }
    char out[24];
    fxd_clock_format(&clock, out, 20, 7);
    EXPECT_EQ(std::string(out, 20), "2026-12-09T14:05:09Z");
    fxd_clock_format(&clock, out, 19, 7);
    EXPECT_EQ(std::string(out, 19), "09-12-2026 14:05   ");
}

TEST(ClockFormat, YearsFrom2000KeepDigitsInStyle9) {
    const TXD_CLOCK clock{date(9, 12, 1999), t140509};
    char out[20];
    fxd_clock_format(&clock, out, 12, 9);
    EXPECT_EQ(std::string(out, 12), "991209140509");
}

std::string bcd_text(uint8_t descriptor, std::initializer_list<uint8_t> digits, int style) {
    uint8_t bytes[15] = {};
    std::copy(digits.begin(), digits.end(), bytes);
    char out[DXD_FORMAT_ROOM];
    std::memset(out, 'X', sizeof out);
    return fxd_bcd_format(bytes, descriptor, out, style);
}

TEST(BcdFormat, EveryStylePositiveAndNegative) {
    // 12.34 held in three digit bytes with two decimal places.
    struct Case {
        int style;
        const char *positive, *negative;
    } cases[] = {
        {0, "   12.34", "  -12.34"},
        {1, "  12.34", "  12.34-"},
        {2, "12.34", "-12.34"},
        {3, "12.34", "-12.34"},
        {4, "  12.34", "  12.34DR"},
        {5, "  12.34", "  12.34CR"},
        {6, "0012.34", "0012.34"},
        {7, "12.34%", "12.34%-"},
        {8, "  12.34%", "  12.34%-"},
        {9, "12.34", "12.34-"},
        {10, "12.34", "12.34-"},
        {11, "    12,34", "   12,34-"},
        {12, "12.34", "-12.34"},
        {13, "", ""},
        {-1, "", ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bcd_text(0x23, {0x00, 0x12, 0x34}, c.style), c.positive) << c.style;
        EXPECT_EQ(bcd_text(0xA3, {0x00, 0x12, 0x34}, c.style), c.negative) << c.style;
    }
}

TEST(BcdFormat, GroupsZerosColumnsAndBadDescriptors) {
    struct Case {
        uint8_t descriptor;
        std::initializer_list<uint8_t> digits;
        int style;
        const char *expected;
    } cases[] = {
        {0x04, {0x01, 0x23, 0x45, 0x67}, 3, "1,234,567"},
        {0x84, {0x01, 0x23, 0x45, 0x67}, 3, "-1,234,567"},
        {0x04, {0x01, 0x23, 0x45, 0x67}, 11, "  1.234.567"},
        {0x24, {0x01, 0x23, 0x45, 0x67}, 11, "   12.345,67"},
        {0x03, {0x12, 0x34, 0x56}, 3, "123,456"},
        {0x02, {0x00, 0x00}, 2, "0"},
        {0x02, {0x00, 0x00}, 1, "   0"},
        {0x22, {0x00, 0x05}, 2, "0.05"},
        {0x02, {0x00, 0x00}, 6, "0000"},
        // Style 12 drops trailing zero decimals, and the mark with them.
        {0x33, {0x01, 0x25, 0x00}, 12, "12.5"},
        {0x23, {0x00, 0x12, 0x00}, 12, "12"},
        {0xA3, {0x00, 0x12, 0x00}, 12, "-12"},
        // Style 9 lines up the decimal mark by shifting left through the leading blanks.
        {0x05, {0x00, 0x00, 0x00, 0x01, 0x23}, 9, "  123"},
        {0x15, {0x00, 0x00, 0x00, 0x01, 0x23}, 9, "    12.3"},
        {0x35, {0x00, 0x00, 0x00, 0x01, 0x23}, 9, "     0.123"},
        {0x45, {0x00, 0x00, 0x00, 0x01, 0x23}, 9, "     0.0123"},
        // Decimals alone: columns drop the leading 0 to keep their width, others widen.
        {0x21, {0x12}, 1, ".12"},
        {0xA1, {0x12}, 1, ".12-"},
        {0x21, {0x12}, 2, "0.12"},
        {0xA1, {0x12}, 0, "-0.12"},
        {0x21, {0x12}, 6, "0.12"},
        {0x21, {0x12}, 7, "0.12%"},
        {0x00, {}, 2, ""},
        {0x31, {0x12}, 2, ""}, // more decimal places than digits
    };
    for (const Case &c : cases) {
        EXPECT_EQ(bcd_text(c.descriptor, c.digits, c.style), c.expected)
            << std::hex << int{c.descriptor} << " style " << std::dec << c.style;
    }
}

TEST(BcdFormat, Style9NeverShiftsDigitsAway) {
    // 1234567 fills its field but for one blank: the shift stops there.
    EXPECT_EQ(bcd_text(0x04, {0x01, 0x23, 0x45, 0x67}, 9), "1234567");
    EXPECT_EQ(bcd_text(0x84, {0x01, 0x23, 0x45, 0x67}, 9), "1234567-");
}

TEST(BcdFormat, WidestValuesFitTheWorkField) {
    const std::initializer_list<uint8_t> nines = {0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99,
                                                  0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    const std::string grouped = bcd_text(0x8F, nines, 3);
    EXPECT_EQ(grouped.size(), 40u);
    EXPECT_EQ(grouped.substr(0, 6), "-999,9");
    EXPECT_EQ(bcd_text(0xFF, nines, 6).size(), 31u);
    EXPECT_EQ(bcd_text(0xFF, nines, 5), std::string(23, '9') + "." + std::string(7, '9') + "CR");
}

TEST(TextLength, TrailingBlanksAndNulsOnly) {
    struct Case {
        const char *text;
        uint16_t length, expected;
    } cases[] = {
        {"", 0, 0},   {"abc  ", 5, 3}, {"   ", 3, 0},     {"a", 1, 1},     {" ", 1, 0},
        {"\0", 1, 0}, {" ab", 3, 3},   {"a\0b\0 ", 5, 3}, {"\0\0x", 3, 3}, {"x\0\0\0", 4, 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fxd_text_length(c.text, c.length), c.expected) << c.text;
    }
    EXPECT_EQ(fxd_wtext_length(kova_test::wide(u"ab \0 ").c_str(), 5), 2);
    EXPECT_EQ(fxd_wtext_length(kova_test::wide(u"   ").c_str(), 3), 0);
    EXPECT_EQ(fxd_wtext_length(kova_test::wide(u"x").c_str(), 0), 0);
}

TEST(DayNumbers, KnownDaysAndWeekdays) {
    const TXD_DATE d = dec9_2026;
    EXPECT_EQ(fxd_date_daynum(&d), 740339u);
    EXPECT_EQ(fxd_date_weekday(&d), 3);
    const TXD_DATE jan1_2001 = date(1, 1, 2001), feb29_2024 = date(29, 2, 2024);
    EXPECT_EQ(fxd_date_weekday(&jan1_2001), 1);  // Monday
    EXPECT_EQ(fxd_date_weekday(&feb29_2024), 4); // Thursday
}

// Across 1901-2099 the day numbers count real days, so weekdays are those of the calendar.
TEST(DayNumbers, AgreeWithTheGregorianCalendarFrom1901To2099) {
    using namespace std::chrono;
    const sys_days first{year{1901} / January / 1};
    const TXD_DATE first_date = date(1, 1, 1901);
    const uint32_t first_number = fxd_date_daynum(&first_date);
    for (sys_days day = first; day <= sys_days{year{2099} / December / 31}; day += days{1}) {
        const year_month_day ymd{day};
        const TXD_DATE d = date(static_cast<unsigned>(ymd.day()),
                                static_cast<unsigned>(ymd.month()), static_cast<int>(ymd.year()));
        const auto elapsed = static_cast<uint32_t>((day - first).count());
        ASSERT_EQ(fxd_date_daynum(&d), first_number + elapsed) << date_text(d, 6);
        ASSERT_EQ(fxd_date_weekday(&d), static_cast<int>(weekday{day}.c_encoding()));
    }
}

TEST(ClockNow, IsTheLocalTimeInPackedDecimal) {
    SYSTEMTIME first, last;
    TXD_CLOCK before, now, after;
    GetLocalTime(&first);
    fxd_clock_now(&now);
    GetLocalTime(&last);
    fxd_clock_from_systemtime(&first, &before);
    fxd_clock_from_systemtime(&last, &after);
    EXPECT_LE(fxd_clock_compare(&before, &now), 0);
    EXPECT_LE(fxd_clock_compare(&now, &after), 0);
    const uint8_t *bytes = &now.date.day;
    for (int i = 0; i < 7; ++i) {
        EXPECT_LE(bytes[i] >> 4, 9) << i;
        EXPECT_LE(bytes[i] & 15, 9) << i;
    }
}

} // namespace
