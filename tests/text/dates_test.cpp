// Dates, times and clocks: ordering, conversions between the date forms, day arithmetic, and
// clocks made from system times, file times and MS-DOS dates and times.
#include "kernel/text/dates.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using kova_test::TimeZone;

constexpr TXD_DATE date(int day, int month, int year) {
    auto bcd = [](int v) { return static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10); };
    return TXD_DATE{bcd(day), bcd(month), bcd(year / 100), bcd(year % 100)};
}

std::string text(const TXD_DATE &d) {
    char out[DXD_FORMAT_ROOM];
    return fxd_date_format(&d, out, 6);
}

std::string text(const TXD_CLOCK &c) {
    char out[20];
    fxd_clock_format(&c, out, 19, 2);
    return std::string(out, 19);
}

TEST(DateOrdering, ComparesYearThenMonthThenDay) {
    struct Case {
        TXD_DATE a, b;
        int expected;
    } cases[] = {
        {date(9, 12, 2026), date(9, 12, 2026), 0}, {date(31, 12, 1999), date(1, 1, 2000), -1},
        {date(1, 2, 2026), date(31, 1, 2026), 1},  {date(2, 1, 2026), date(1, 1, 2026), 1},
        {date(1, 1, 2099), date(1, 1, 1901), 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fxd_date_compare(&c.a, &c.b), c.expected) << text(c.a) << " " << text(c.b);
        EXPECT_EQ(fxd_date_compare(&c.b, &c.a), -c.expected);
    }
}

TEST(DateOrdering, ShortDatesOrderThe2000sAfterThe1900s) {
    const TXD_DATE2 jan1_2000{0x01, 0x01, 0xA0}, dec31_1999{0x31, 0x12, 0x99};
    const TXD_DATE2 feb1_2000{0x01, 0x02, 0xA0}, jan2_2000{0x02, 0x01, 0xA0};
    EXPECT_EQ(fxd_date2_compare(&jan1_2000, &dec31_1999), 1);
    EXPECT_EQ(fxd_date2_compare(&dec31_1999, &jan1_2000), -1);
    EXPECT_EQ(fxd_date2_compare(&feb1_2000, &jan2_2000), 1);
    EXPECT_EQ(fxd_date2_compare(&jan2_2000, &jan2_2000), 0);
}

TEST(ClockOrdering, DateFirstThenTimeBytes) {
    const TXD_CLOCK a{date(9, 12, 2026), {0x14, 0x05, 0x09}};
    const TXD_CLOCK b{date(9, 12, 2026), {0x14, 0x05, 0x10}};
    const TXD_CLOCK c{date(10, 12, 2026), {0x00, 0x00, 0x00}};
    const TXD_CLOCK d{date(9, 12, 2026), {0x15, 0x00, 0x00}};
    EXPECT_EQ(fxd_clock_compare(&a, &b), -1);
    EXPECT_EQ(fxd_clock_compare(&b, &a), 1);
    EXPECT_EQ(fxd_clock_compare(&a, &a), 0);
    EXPECT_EQ(fxd_clock_compare(&d, &c), -1);
    EXPECT_EQ(fxd_clock_compare(&b, &d), -1);
    EXPECT_TRUE(fxd_clock_equal(&a, &a));
    EXPECT_FALSE(fxd_clock_equal(&a, &b));
    EXPECT_TRUE(fxd_clock_not_equal(&a, &b));
    EXPECT_FALSE(fxd_clock_not_equal(&b, &b));
    EXPECT_TRUE(fxd_clock_earlier(&a, &b));
    EXPECT_FALSE(fxd_clock_earlier(&b, &a));
    EXPECT_FALSE(fxd_clock_earlier(&a, &a));
    EXPECT_TRUE(fxd_clock_later(&c, &d));
    EXPECT_FALSE(fxd_clock_later(&a, &a));
}

TEST(DateConversion, BetweenFullAndShortDates) {
    struct Case {
        TXD_DATE full;
        TXD_DATE2 short_form;
    } cases[] = {
        {date(9, 12, 2026), {0x09, 0x12, 0xC6}}, {date(31, 12, 1999), {0x31, 0x12, 0x99}},
        {date(1, 1, 2000), {0x01, 0x01, 0xA0}},  {date(31, 12, 2059), {0x31, 0x12, 0xF9}},
        {date(1, 1, 1900), {0x01, 0x01, 0x00}},  {TXD_DATE{0, 0, 0, 0}, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        TXD_DATE2 to_short{0xEE, 0xEE, 0xEE};
        fxd_date_to_date2(&c.full, &to_short);
        EXPECT_EQ(to_short.day, c.short_form.day);
        EXPECT_EQ(to_short.month, c.short_form.month);
        EXPECT_EQ(to_short.year, c.short_form.year) << text(c.full);
        TXD_DATE back{0xEE, 0xEE, 0xEE, 0xEE};
        fxd_date2_to_date(&c.short_form, &back);
        EXPECT_EQ(fxd_date_compare(&back, &c.full), 0) << text(c.full);
    }
    // A century that is neither 19 nor 20 is taken as 19.
    const TXD_DATE odd{0x01, 0x01, 0x21, 0x05};
    TXD_DATE2 short_odd;
    fxd_date_to_date2(&odd, &short_odd);
    EXPECT_EQ(short_odd.year, 0x05);
}

TEST(DayArithmetic, AddingDaysAcrossMonthsYearsAndLeapDays) {
    struct Case {
        TXD_DATE from;
        int32_t days;
        TXD_DATE to;
    } cases[] = {
        {date(28, 2, 2024), 1, date(29, 2, 2024)},   {date(28, 2, 2024), 2, date(1, 3, 2024)},
        {date(31, 12, 1999), 1, date(1, 1, 2000)},   {date(1, 3, 2023), -1, date(28, 2, 2023)},
        {date(1, 3, 2000), -1, date(29, 2, 2000)},   {date(9, 12, 2026), 0, date(9, 12, 2026)},
        {date(9, 12, 2026), 365, date(9, 12, 2027)}, {date(9, 12, 2026), -3650, date(11, 12, 2016)},
        {date(31, 1, 2026), 30, date(2, 3, 2026)},
    };
    for (const Case &c : cases) {
        TXD_DATE d = c.from;
        fxd_date_add_days(&d, c.days);
        EXPECT_EQ(text(d), text(c.to)) << text(c.from) << " + " << c.days;
    }
}

TEST(DayArithmetic, DayNumbersRoundTripFrom1901To2099) {
    TXD_DATE d = date(1, 1, 1901);
    const uint32_t first = fxd_date_daynum(&d);
    for (uint32_t n = first;; ++n) {
        TXD_DATE from_number{};
        fxd_date_from_daynum(n, &from_number);
        ASSERT_EQ(fxd_date_daynum(&from_number), n);
        ASSERT_EQ(fxd_date_compare(&from_number, &d), 0) << text(d);
        if (d.day == 0x31 && d.month == 0x12 && d.century == 0x20 && d.year == 0x99) break;
        fxd_date_add_days(&d, 1);
    }
}

TEST(ClockFrom, SystemTimeDropsMillisecondsAndWeekday) {
    const SYSTEMTIME st{2026, 12, 3, 9, 14, 5, 9, 999};
    TXD_CLOCK clock;
    fxd_clock_from_systemtime(&st, &clock);
    EXPECT_EQ(text(clock), "09-12-2026 14:05:09");
    const SYSTEMTIME early{1999, 1, 0, 2, 0, 0, 0, 0};
    fxd_clock_from_systemtime(&early, &clock);
    EXPECT_EQ(text(clock), "02-01-1999 00:00:00");
}

TEST(ClockFrom, DosDateAndTimeBothWays) {
    // 9 December 2026 14:05:08 in MS-DOS form.
    const WORD dos_date = (46 << 9) | (12 << 5) | 9, dos_time = (14 << 11) | (5 << 5) | 4;
    TXD_CLOCK clock;
    fxd_clock_from_dos(dos_date, dos_time, &clock);
    EXPECT_EQ(text(clock), "09-12-2026 14:05:08");
    WORD d = 1, t = 1;
    ASSERT_TRUE(fxd_clock_to_dos(&clock, &d, &t));
    EXPECT_EQ(d, dos_date);
    EXPECT_EQ(t, dos_time);

    // Odd seconds round down; times the format cannot hold answer false and zeros.
    const TXD_CLOCK odd{date(9, 12, 2026), {0x14, 0x05, 0x09}};
    ASSERT_TRUE(fxd_clock_to_dos(&odd, &d, &t));
    EXPECT_EQ(t, dos_time);
    const TXD_CLOCK too_early{date(31, 12, 1979), {0x23, 0x59, 0x58}};
    EXPECT_FALSE(fxd_clock_to_dos(&too_early, &d, &t));
    EXPECT_EQ(d, 0);
    EXPECT_EQ(t, 0);
    const TXD_CLOCK empty{};
    EXPECT_FALSE(fxd_clock_to_dos(&empty, &d, &t));

    // The MS-DOS words 0 (what a failed conversion leaves) make an empty date.
    fxd_clock_from_dos(0, 0, &clock);
    EXPECT_EQ(clock.date.day, 0);
}

TEST(ClockFrom, FileTimeIsLocalAndRoundedToEvenSeconds) {
    TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // 2026-12-09 13:05:09.5 UTC is 14:05:09 in winter (UTC+1); 2026-07-01 10:00:01 UTC is
    // 12:00:00 in summer (UTC+2).
    SYSTEMTIME winter{2026, 12, 0, 9, 13, 5, 9, 500}, summer{2026, 7, 0, 1, 10, 0, 1, 0};
    FILETIME ft;
    TXD_CLOCK clock;
    ASSERT_TRUE(SystemTimeToFileTime(&winter, &ft));
    EXPECT_TRUE(fxd_clock_from_filetime(&ft, &clock));
    EXPECT_EQ(text(clock), "09-12-2026 14:05:08");
    ASSERT_TRUE(SystemTimeToFileTime(&summer, &ft));
    EXPECT_TRUE(fxd_clock_from_filetime(&ft, &clock));
    EXPECT_EQ(text(clock), "01-07-2026 12:00:00");

    SYSTEMTIME before_dos{1979, 6, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&before_dos, &ft));
    EXPECT_FALSE(fxd_clock_from_filetime(&ft, &clock));
    EXPECT_EQ(clock.date.day, 0);
}

TEST(LocalFileTime, RulesOfTheInstantBothWaysToTheTick) {
    TimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    // A winter file read in summer keeps its winter offset; sub-millisecond ticks survive.
    struct Case {
        SYSTEMTIME utc;
        int offset_hours;
    } cases[] = {{{2025, 1, 0, 15, 11, 30, 0, 250}, 1}, {{2025, 8, 0, 15, 11, 30, 0, 250}, 2}};
    for (const Case &c : cases) {
        FILETIME utc, local, back;
        ASSERT_TRUE(SystemTimeToFileTime(&c.utc, &utc));
        utc.dwLowDateTime += 1234; // 123.4 microseconds: no carry at this instant
        ASSERT_TRUE(fxd_local_from_filetime(&utc, &local));
        uint64_t u = (uint64_t{utc.dwHighDateTime} << 32) | utc.dwLowDateTime;
        uint64_t l = (uint64_t{local.dwHighDateTime} << 32) | local.dwLowDateTime;
        EXPECT_EQ(l - u, uint64_t(c.offset_hours) * 3600 * 10'000'000);
        ASSERT_TRUE(fxd_filetime_from_local(&local, &back));
        EXPECT_EQ(back.dwLowDateTime, utc.dwLowDateTime);
        EXPECT_EQ(back.dwHighDateTime, utc.dwHighDateTime);
    }
    const FILETIME beyond{0xFFFFFFFF, 0xFFFFFFFF};
    FILETIME out;
    EXPECT_FALSE(fxd_local_from_filetime(&beyond, &out));
}

} // namespace
