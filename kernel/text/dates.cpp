// Ordering, conversion and day arithmetic of the packed-decimal dates and clocks, and clocks
// made from system times, file times and MS-DOS dates and times.
#include "kernel/text/dates.h"

namespace {

uint8_t to_bcd(unsigned value) {
    return static_cast<uint8_t>(((value / 10 % 10) << 4) | (value % 10));
}

unsigned from_bcd(uint8_t b) {
    return (b >> 4) * 10u + (b & 0x0Fu);
}

int compare_bytes(unsigned a, unsigned b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

void set_year(TXD_DATE *date, unsigned year) {
    date->century = to_bcd(year / 100);
    date->year = to_bcd(year % 100);
}

} // namespace

int fxd_date_compare(const TXD_DATE *a, const TXD_DATE *b) {
    if (int c = compare_bytes(a->century, b->century)) return c;
    if (int c = compare_bytes(a->year, b->year)) return c;
    if (int c = compare_bytes(a->month, b->month)) return c;
    return compare_bytes(a->day, b->day);
}

int fxd_date2_compare(const TXD_DATE2 *a, const TXD_DATE2 *b) {
    if (int c = compare_bytes(a->year, b->year)) return c;
    if (int c = compare_bytes(a->month, b->month)) return c;
    return compare_bytes(a->day, b->day);
}

int fxd_clock_compare(const TXD_CLOCK *a, const TXD_CLOCK *b) {
    if (int c = fxd_date_compare(&a->date, &b->date)) return c;
    if (int c = compare_bytes(a->time.hour, b->time.hour)) return c;
    if (int c = compare_bytes(a->time.minute, b->time.minute)) return c;
    return compare_bytes(a->time.second, b->time.second);
}

bool fxd_clock_equal(const TXD_CLOCK *a, const TXD_CLOCK *b) {
    return fxd_clock_compare(a, b) == 0;
}
bool fxd_clock_not_equal(const TXD_CLOCK *a, const TXD_CLOCK *b) {
    return fxd_clock_compare(a, b) != 0;
}
bool fxd_clock_earlier(const TXD_CLOCK *a, const TXD_CLOCK *b) {
    return fxd_clock_compare(a, b) < 0;
}
bool fxd_clock_later(const TXD_CLOCK *a, const TXD_CLOCK *b) {
    return fxd_clock_compare(a, b) > 0;
}

void fxd_date_to_date2(const TXD_DATE *date, TXD_DATE2 *out) {
    out->day = date->day;
    out->month = date->month;
    // The years 2000-2059 carry 10 more in the tens nibble, so that they sort after the 1900s.
    out->year = date->century == 0x20 ? static_cast<uint8_t>(date->year + 0xA0) : date->year;
}

void fxd_date2_to_date(const TXD_DATE2 *date, TXD_DATE *out) {
    out->day = date->day;
    out->month = date->month;
    if (date->day == 0 && date->month == 0 && date->year == 0) {
        out->century = 0;
        out->year = 0;
    } else if (date->year >= 0xA0) {
        out->century = 0x20;
        out->year = static_cast<uint8_t>(date->year + 0x60);
    } else {
        out->century = 0x19;
        out->year = date->year;
    }
}

void fxd_date_from_daynum(uint32_t daynum, TXD_DATE *out) {
    // The first year of each four-year cycle is the leap year, as fxd_date_daynum counts.
    unsigned lengths[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned year = daynum / 1461 * 4;
    unsigned rest = daynum % 1461;
    if (rest >= 366) {
        lengths[1] = 28;
        year += (rest - 366) / 365 + 1;
        rest = (rest - 366) % 365;
    }
    unsigned month = 0;
    while (month < 11 && rest >= lengths[month]) rest -= lengths[month++];
    out->day = to_bcd(rest + 1);
    out->month = to_bcd(month + 1);
    set_year(out, year);
}

void fxd_date_add_days(TXD_DATE *date, int32_t days) {
    const int64_t moved = static_cast<int64_t>(fxd_date_daynum(date)) + days;
    fxd_date_from_daynum(static_cast<uint32_t>(moved < 0 ? 0 : moved), date);
}

void fxd_clock_from_systemtime(const SYSTEMTIME *time, TXD_CLOCK *out) {
    set_year(&out->date, time->wYear);
    out->date.month = to_bcd(time->wMonth);
    out->date.day = to_bcd(time->wDay);
    out->time.hour = to_bcd(time->wHour);
    out->time.minute = to_bcd(time->wMinute);
    out->time.second = to_bcd(time->wSecond);
}

void fxd_clock_from_dos(WORD dos_date, WORD dos_time, TXD_CLOCK *out) {
    set_year(&out->date, 1980u + (dos_date >> 9));
    out->date.month = to_bcd((dos_date >> 5) & 0x0Fu);
    out->date.day = to_bcd(dos_date & 0x1Fu);
    out->time.hour = to_bcd(dos_time >> 11);
    out->time.minute = to_bcd((dos_time >> 5) & 0x3Fu);
    out->time.second = to_bcd((dos_time & 0x1Fu) * 2);
}

bool fxd_clock_to_dos(const TXD_CLOCK *clock, WORD *dos_date, WORD *dos_time) {
    const unsigned year = from_bcd(clock->date.century) * 100 + from_bcd(clock->date.year);
    const unsigned month = from_bcd(clock->date.month), day = from_bcd(clock->date.day);
    const unsigned hour = from_bcd(clock->time.hour), minute = from_bcd(clock->time.minute);
    const unsigned second = from_bcd(clock->time.second);
    if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 59) {
        *dos_date = 0;
        *dos_time = 0;
        return false;
    }
    *dos_date = static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
    *dos_time = static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
    return true;
}

namespace {

// SYSTEMTIME keeps milliseconds; the 100-nanosecond rest of a file time is carried over.
constexpr uint64_t ticks_per_millisecond = 10000;

uint64_t ticks_of(const FILETIME &time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool convert_zone(const FILETIME *from, FILETIME *to, bool to_local) {
    SYSTEMTIME given, converted;
    if (!FileTimeToSystemTime(from, &given)) return false;
    if (to_local ? !SystemTimeToTzSpecificLocalTime(nullptr, &given, &converted)
                 : !TzSpecificLocalTimeToSystemTime(nullptr, &given, &converted))
        return false;
    FILETIME result;
    if (!SystemTimeToFileTime(&converted, &result)) return false;
    uint64_t ticks = ticks_of(result) + ticks_of(*from) % ticks_per_millisecond;
    to->dwLowDateTime = static_cast<DWORD>(ticks);
    to->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

} // namespace

bool fxd_local_from_filetime(const FILETIME *utc, FILETIME *local) {
    return convert_zone(utc, local, true);
}

bool fxd_filetime_from_local(const FILETIME *local, FILETIME *utc) {
    return convert_zone(local, utc, false);
}

bool fxd_clock_from_filetime(const FILETIME *time, TXD_CLOCK *out) {
    FILETIME local;
    WORD dos_date = 0, dos_time = 0;
    const bool converted = fxd_local_from_filetime(time, &local) &&
                           FileTimeToDosDateTime(&local, &dos_date, &dos_time);
    if (!converted) dos_date = dos_time = 0;
    fxd_clock_from_dos(dos_date, dos_time, out);
    return converted;
}
