// System time, file times and their local and MS-DOS forms on POSIX: the calendar arithmetic
// is done here exactly; the time zone's offsets come from localtime_r and timegm.
#include "platform/posix/clock.h"

#include <cstdint>
#include <ctime>

namespace {

constexpr uint64_t ticks_per_second = 10'000'000;
constexpr int64_t seconds_1601_to_1970 = 11'644'473'600;
constexpr uint64_t largest_file_time = 0x7FFF'FFFF'FFFF'FFFFull;

uint64_t ticks_of(const FILETIME &t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

FILETIME file_time_of(uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Days since 1 January 1970 of a date of the proleptic Gregorian calendar, and back
// (H. Hinnant's civil-date algorithms).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t &y, unsigned &m, unsigned &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

unsigned days_in_month(int64_t y, unsigned m) {
    static constexpr unsigned lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : lengths[m - 1];
}

// The offset of local time from UTC, in seconds, at the host instant `unix_seconds`.
bool local_offset(int64_t unix_seconds, int64_t &offset) {
    const time_t t = static_cast<time_t>(unix_seconds);
    struct tm local {};
    if (!localtime_r(&t, &local)) return false;
    offset = static_cast<int64_t>(timegm(&local)) - unix_seconds;
    return true;
}

BOOL invalid_parameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// A file time moved by `offset` seconds, if the result is still a file time.
BOOL shift(const FILETIME *from, int64_t offset, LPFILETIME to) {
    const uint64_t ticks = ticks_of(*from);
    const int64_t delta = offset * static_cast<int64_t>(ticks_per_second);
    if (delta < 0 && ticks < static_cast<uint64_t>(-delta)) return invalid_parameter();
    const uint64_t moved = ticks + static_cast<uint64_t>(delta);
    if (moved > largest_file_time) return invalid_parameter();
    *to = file_time_of(moved);
    return TRUE;
}

FILETIME now_as_file_time() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return kova_filetime_from_unix(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
}

} // namespace

FILETIME kova_filetime_from_unix(int64_t seconds, uint32_t nanoseconds) {
    if (seconds < -seconds_1601_to_1970) return FILETIME{0, 0};
    const uint64_t whole = static_cast<uint64_t>(seconds + seconds_1601_to_1970);
    if (whole > largest_file_time / ticks_per_second) return file_time_of(largest_file_time);
    return file_time_of(whole * ticks_per_second + nanoseconds / 100);
}

bool kova_unix_from_filetime(const FILETIME &time, int64_t *seconds, uint32_t *nanoseconds) {
    const uint64_t ticks = ticks_of(time);
    if (ticks > largest_file_time) return false;
    *seconds = static_cast<int64_t>(ticks / ticks_per_second) - seconds_1601_to_1970;
    *nanoseconds = static_cast<uint32_t>(ticks % ticks_per_second) * 100;
    return true;
}

void GetSystemTimeAsFileTime(LPFILETIME time) {
    *time = now_as_file_time();
}

void GetSystemTime(LPSYSTEMTIME time) {
    const FILETIME now = now_as_file_time();
    FileTimeToSystemTime(&now, time);
}

void GetLocalTime(LPSYSTEMTIME time) {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    // A leap second shows as :59, as Windows never reports :60.
    time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1'000'000);
}

BOOL FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time) {
    const uint64_t ticks = ticks_of(*file_time);
    if (ticks > largest_file_time) return invalid_parameter();
    const uint64_t seconds = ticks / ticks_per_second;
    const int64_t days_since_1601 = static_cast<int64_t>(seconds / 86400);
    const uint64_t second_of_day = seconds % 86400;
    int64_t year;
    unsigned month, day;
    civil_from_days(days_since_1601 + days_from_civil(1601, 1, 1), year, month, day);
    system_time->wYear = static_cast<WORD>(year);
    system_time->wMonth = static_cast<WORD>(month);
    system_time->wDay = static_cast<WORD>(day);
    system_time->wDayOfWeek = static_cast<WORD>((days_since_1601 + 1) % 7); // 1601-01-01: Monday
    system_time->wHour = static_cast<WORD>(second_of_day / 3600);
    system_time->wMinute = static_cast<WORD>(second_of_day / 60 % 60);
    system_time->wSecond = static_cast<WORD>(second_of_day % 60);
    system_time->wMilliseconds = static_cast<WORD>(ticks % ticks_per_second / 10'000);
    return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME *system_time, LPFILETIME file_time) {
    const SYSTEMTIME &t = *system_time;
    if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
        t.wDay > days_in_month(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
        t.wSecond > 59 || t.wMilliseconds > 999) {
        return invalid_parameter();
    }
    const int64_t days = days_from_civil(t.wYear, t.wMonth, t.wDay) - days_from_civil(1601, 1, 1);
    const uint64_t seconds =
        static_cast<uint64_t>(days) * 86400 + t.wHour * 3600u + t.wMinute * 60u + t.wSecond;
    const uint64_t ticks = seconds * ticks_per_second + t.wMilliseconds * 10'000ull;
    if (ticks > largest_file_time) return invalid_parameter();
    *file_time = file_time_of(ticks);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME *file_time, LPFILETIME local_file_time) {
    const uint64_t ticks = ticks_of(*file_time);
    if (ticks > largest_file_time) return invalid_parameter();
    const int64_t unix_seconds =
        static_cast<int64_t>(ticks / ticks_per_second) - seconds_1601_to_1970;
    int64_t offset;
    if (!local_offset(unix_seconds, offset)) return invalid_parameter();
    return shift(file_time, offset, local_file_time);
}

BOOL LocalFileTimeToFileTime(const FILETIME *local_file_time, LPFILETIME file_time) {
    const uint64_t ticks = ticks_of(*local_file_time);
    if (ticks > largest_file_time) return invalid_parameter();
    // The offset is that of the UTC instant sought: guess it from the local reading, then
    // correct the guess once with the offset at the instant it gives (this settles every time
    // except the repeated hour when clocks go back, which takes the later offset's reading).
    const int64_t local_seconds =
        static_cast<int64_t>(ticks / ticks_per_second) - seconds_1601_to_1970;
    int64_t guess, offset;
    if (!local_offset(local_seconds, guess)) return invalid_parameter();
    if (!local_offset(local_seconds - guess, offset)) return invalid_parameter();
    return shift(local_file_time, -offset, file_time);
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *utc,
                                     LPSYSTEMTIME local) {
    if (zone) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    FILETIME given, converted;
    return SystemTimeToFileTime(utc, &given) && FileTimeToLocalFileTime(&given, &converted) &&
           FileTimeToSystemTime(&converted, local);
}

BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *local,
                                     LPSYSTEMTIME utc) {
    if (zone) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    FILETIME given, converted;
    return SystemTimeToFileTime(local, &given) && LocalFileTimeToFileTime(&given, &converted) &&
           FileTimeToSystemTime(&converted, utc);
}

BOOL FileTimeToDosDateTime(const FILETIME *file_time, WORD *dos_date, WORD *dos_time) {
    SYSTEMTIME t;
    if (!FileTimeToSystemTime(file_time, &t)) return FALSE;
    if (t.wYear < 1980 || t.wYear > 2107) return invalid_parameter();
    *dos_date = static_cast<WORD>(((t.wYear - 1980) << 9) | (t.wMonth << 5) | t.wDay);
    *dos_time = static_cast<WORD>((t.wHour << 11) | (t.wMinute << 5) | (t.wSecond / 2));
    return TRUE;
}

BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, LPFILETIME file_time) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(1980 + (dos_date >> 9));
    t.wMonth = static_cast<WORD>((dos_date >> 5) & 0x0F);
    t.wDay = static_cast<WORD>(dos_date & 0x1F);
    t.wHour = static_cast<WORD>(dos_time >> 11);
    t.wMinute = static_cast<WORD>((dos_time >> 5) & 0x3F);
    t.wSecond = static_cast<WORD>((dos_time & 0x1F) * 2);
    return SystemTimeToFileTime(&t, file_time);
}
