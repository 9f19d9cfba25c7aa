// System time, file times, local file times and MS-DOS dates and times, with Windows
// semantics, in UTC and in a time zone with daylight saving.
#include "platform/win32.h"

#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <tuple>

namespace {

using kova_test::TimeZone;

constexpr const char *central_europe = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr uint64_t ticks_per_second = 10'000'000;

uint64_t ticks(const FILETIME &t) {
    return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}
FILETIME filetime(uint64_t t) {
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

FILETIME from_system(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    const SYSTEMTIME st{y, mo, 0, d, h, mi, s, ms};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

TEST(SystemTimes, KnownInstants) {
    struct Case {
        SYSTEMTIME time; // wDayOfWeek as the conversion back gives it
        uint64_t ticks;
    } cases[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000ull},
        {{1980, 1, 2, 1, 0, 0, 0, 0}, 119600064000000000ull},
        {{2000, 2, 2, 29, 23, 59, 59, 999}, 125963423999990000ull},
        {{2026, 12, 3, 9, 14, 5, 9, 250}, 134412987092500000ull},
        {{30827, 12, 5, 31, 23, 59, 59, 999}, 9223149887999990000ull},
    };
    for (const Case &c : cases) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.time, &ft)) << c.time.wYear;
        EXPECT_EQ(ticks(ft), c.ticks) << c.time.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_EQ(back.wYear, c.time.wYear);
        EXPECT_EQ(back.wMonth, c.time.wMonth);
        EXPECT_EQ(back.wDayOfWeek, c.time.wDayOfWeek) << c.time.wYear;
        EXPECT_EQ(back.wDay, c.time.wDay);
        EXPECT_EQ(back.wHour, c.time.wHour);
        EXPECT_EQ(back.wMinute, c.time.wMinute);
        EXPECT_EQ(back.wSecond, c.time.wSecond);
        EXPECT_EQ(back.wMilliseconds, c.time.wMilliseconds);
    }
}

TEST(SystemTimes, OutOfRangeIsRefused) {
    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0}, {2026, 0, 0, 1, 0, 0, 0, 0},
        {2026, 13, 0, 1, 0, 0, 0, 0},  {2026, 1, 0, 0, 0, 0, 0, 0},  {2023, 2, 0, 29, 0, 0, 0, 0},
        {2100, 2, 0, 29, 0, 0, 0, 0},  {2026, 4, 0, 31, 0, 0, 0, 0}, {2026, 1, 0, 1, 24, 0, 0, 0},
        {2026, 1, 0, 1, 0, 60, 0, 0},  {2026, 1, 0, 1, 0, 0, 60, 0}, {2026, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const SYSTEMTIME &st : bad) {
        FILETIME ft{123, 456};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft))
            << st.wYear << "-" << st.wMonth << "-" << st.wDay;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ft.dwLowDateTime, 123u);
    }
    const SYSTEMTIME leap{2000, 2, 0, 29, 0, 0, 0, 0};
    FILETIME ft;
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));

    const FILETIME too_large = filetime(0x8000000000000000ull);
    SYSTEMTIME st;
    EXPECT_FALSE(FileTimeToSystemTime(&too_large, &st));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(SystemTimes, NowAgreesAcrossTheThreeForms) {
    TimeZone zone("UTC");
    FILETIME before, after;
    SYSTEMTIME utc, local;
    GetSystemTimeAsFileTime(&before);
    GetSystemTime(&utc);
    GetLocalTime(&local);
    GetSystemTimeAsFileTime(&after);
    FILETIME from_utc, from_local;
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &from_utc));
    ASSERT_TRUE(SystemTimeToFileTime(&local, &from_local));
    // The SYSTEMTIME forms keep milliseconds only.
    EXPECT_LE(ticks(before) / 10000, ticks(from_utc) / 10000);
    EXPECT_LE(ticks(from_utc), ticks(after));
    EXPECT_LE(ticks(from_utc), ticks(from_local));
    EXPECT_LE(ticks(from_local), ticks(after));
    EXPECT_GE(utc.wYear, 2024);
}

TEST(SystemTimes, LocalTimeFollowsTheTimeZone) {
    TimeZone zone("XYZ-5"); // five hours east of UTC, no daylight saving
    SYSTEMTIME utc, local;
    GetSystemTime(&utc);
    GetLocalTime(&local);
    FILETIME u, l;
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &u));
    ASSERT_TRUE(SystemTimeToFileTime(&local, &l));
    const int64_t difference =
        static_cast<int64_t>(ticks(l) - ticks(u)) / int64_t{ticks_per_second};
    EXPECT_NEAR(difference, 5 * 3600, 2);
}

TEST(LocalFileTimes, OffsetOfTheInstantInUtcAndCentralEurope) {
    {
        TimeZone zone("UTC");
        const FILETIME ft = from_system(2026, 7, 1, 10, 0, 0, 5);
        FILETIME local, back;
        ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
        EXPECT_EQ(ticks(local), ticks(ft));
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
        EXPECT_EQ(ticks(back), ticks(ft));
    }
    TimeZone zone(central_europe);
    struct Case {
        FILETIME utc;
        int64_t offset_hours;
    } cases[] = {
        {from_system(2026, 12, 9, 13, 5, 9, 123), 1}, {from_system(2026, 7, 1, 10, 0, 0), 2},
        {from_system(2026, 3, 29, 0, 59, 59), 1}, // the last second of winter time
        {from_system(2026, 3, 29, 1, 0, 0), 2},   // the first of summer time
        {from_system(1975, 1, 1, 0, 0, 0), 1},
    };
    for (const Case &c : cases) {
        FILETIME local, back;
        ASSERT_TRUE(FileTimeToLocalFileTime(&c.utc, &local));
        EXPECT_EQ(static_cast<int64_t>(ticks(local) - ticks(c.utc)),
                  c.offset_hours * 3600 * int64_t{ticks_per_second});
        ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
        EXPECT_EQ(ticks(back), ticks(c.utc)) << "round trip keeps every 100 ns";
    }
}

TEST(LocalFileTimes, TimeZoneConversionsOfSystemTimes) {
    TimeZone zone(central_europe);
    struct Case {
        SYSTEMTIME utc, local;
    } cases[] = {
        {{2026, 1, 0, 15, 23, 30, 0, 7}, {2026, 1, 5, 16, 0, 30, 0, 7}}, // across midnight
        {{2026, 7, 0, 1, 10, 0, 0, 0}, {2026, 7, 3, 1, 12, 0, 0, 0}},
        {{2026, 10, 0, 25, 1, 0, 0, 0}, {2026, 10, 0, 25, 2, 0, 0, 0}}, // winter time again
    };
    for (const Case &c : cases) {
        SYSTEMTIME local{}, utc{};
        ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &local));
        EXPECT_EQ(std::tie(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                           local.wMilliseconds),
                  std::tie(c.local.wYear, c.local.wMonth, c.local.wDay, c.local.wHour,
                           c.local.wMinute, c.local.wMilliseconds));
        EXPECT_EQ(local.wDayOfWeek, c.local.wDayOfWeek);
        ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &c.local, &utc));
        EXPECT_EQ(std::tie(utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute),
                  std::tie(c.utc.wYear, c.utc.wMonth, c.utc.wDay, c.utc.wHour, c.utc.wMinute));
    }
    SYSTEMTIME bad{2026, 13, 0, 1, 0, 0, 0, 0}, out;
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &bad, &out));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(LocalFileTimes, EdgesOfTheRange) {
    TimeZone zone("XYZ+5"); // five hours west: local times are earlier than UTC
    const FILETIME start = filetime(0);
    FILETIME out{};
    SetLastError(0);
    EXPECT_FALSE(FileTimeToLocalFileTime(&start, &out));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const FILETIME too_large = filetime(0x8000000000000000ull);
    EXPECT_FALSE(FileTimeToLocalFileTime(&too_large, &out));
    EXPECT_FALSE(LocalFileTimeToFileTime(&too_large, &out));
    const FILETIME day_two = filetime(86400 * ticks_per_second);
    EXPECT_TRUE(FileTimeToLocalFileTime(&day_two, &out));
    EXPECT_EQ(ticks(out), (86400 - 5 * 3600) * ticks_per_second);
}

TEST(DosDateTimes, ExactInBothDirections) {
    struct Case {
        FILETIME time;
        WORD date, time_word;
    } cases[] = {
        {from_system(1980, 1, 1), (0 << 9) | (1 << 5) | 1, 0},
        {from_system(2026, 12, 9, 14, 5, 8), (46 << 9) | (12 << 5) | 9, (14 << 11) | (5 << 5) | 4},
        {from_system(2107, 12, 31, 23, 59, 58), (127 << 9) | (12 << 5) | 31,
         (23 << 11) | (59 << 5) | 29},
        {from_system(2000, 2, 29, 12, 30, 0), (20 << 9) | (2 << 5) | 29, (12 << 11) | (30 << 5)},
    };
    for (const Case &c : cases) {
        WORD d = 0, t = 0;
        ASSERT_TRUE(FileTimeToDosDateTime(&c.time, &d, &t));
        EXPECT_EQ(d, c.date);
        EXPECT_EQ(t, c.time_word);
        FILETIME back{};
        ASSERT_TRUE(DosDateTimeToFileTime(c.date, c.time_word, &back));
        EXPECT_EQ(ticks(back), ticks(c.time));
    }
}

TEST(DosDateTimes, SecondsRoundDownAndRangeIsChecked) {
    WORD d = 7, t = 7;
    const FILETIME odd = from_system(2026, 12, 9, 14, 5, 9, 999);
    ASSERT_TRUE(FileTimeToDosDateTime(&odd, &d, &t));
    EXPECT_EQ(t, (14 << 11) | (5 << 5) | 4);

    for (const FILETIME &outside :
         {from_system(1979, 12, 31, 23, 59, 59), from_system(2108, 1, 1)}) {
        d = t = 7;
        SetLastError(0);
        EXPECT_FALSE(FileTimeToDosDateTime(&outside, &d, &t));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(d, 7);
    }
    struct Bad {
        WORD date, time;
    } bad[] = {
        {(46 << 9) | (0 << 5) | 9, 0},         // month 0
        {(46 << 9) | (13 << 5) | 9, 0},        // month 13
        {(46 << 9) | (12 << 5) | 0, 0},        // day 0
        {(43 << 9) | (2 << 5) | 29, 0},        // 29 February 2023
        {(46 << 9) | (12 << 5) | 9, 24 << 11}, // hour 24
        {(46 << 9) | (12 << 5) | 9, 60 << 5},  // minute 60
        {(46 << 9) | (12 << 5) | 9, 30},       // second 60
    };
    for (const Bad &b : bad) {
        FILETIME ft{1, 1};
        EXPECT_FALSE(DosDateTimeToFileTime(b.date, b.time, &ft)) << b.date << " " << b.time;
        EXPECT_EQ(ft.dwLowDateTime, 1u);
    }
}

TEST(HostTimes, UnixSecondsAndNanoseconds) {
    const FILETIME epoch = kova_filetime_from_unix(0, 0);
    EXPECT_EQ(ticks(epoch), 116444736000000000ull);
    const FILETIME precise = kova_filetime_from_unix(1, 123456789);
    EXPECT_EQ(ticks(precise), 116444736000000000ull + 11234567);
    EXPECT_EQ(ticks(kova_filetime_from_unix(-11644473601, 0)), 0u);
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    ASSERT_TRUE(kova_unix_from_filetime(precise, &seconds, &nanoseconds));
    EXPECT_EQ(seconds, 1);
    EXPECT_EQ(nanoseconds, 123456700u);
    ASSERT_TRUE(kova_unix_from_filetime(filetime(0), &seconds, &nanoseconds));
    EXPECT_EQ(seconds, -11644473600);
    EXPECT_FALSE(kova_unix_from_filetime(filetime(0x8000000000000000ull), &seconds, &nanoseconds));
}

} // namespace
