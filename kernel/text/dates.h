// Operations on the packed-decimal dates, times and clocks: ordering, conversion between the
// date forms, day arithmetic, and clocks made from the platform's time values.
#pragma once

#include "kernel/text/format.h"

// -1, 0 or 1 as a is earlier than, equal to or later than b.
int fxd_date_compare(const TXD_DATE *a, const TXD_DATE *b);
int fxd_date2_compare(const TXD_DATE2 *a, const TXD_DATE2 *b);
int fxd_clock_compare(const TXD_CLOCK *a, const TXD_CLOCK *b);

bool fxd_clock_equal(const TXD_CLOCK *a, const TXD_CLOCK *b);
bool fxd_clock_not_equal(const TXD_CLOCK *a, const TXD_CLOCK *b);
// a is before b.
bool fxd_clock_earlier(const TXD_CLOCK *a, const TXD_CLOCK *b);
// a is after b.
bool fxd_clock_later(const TXD_CLOCK *a, const TXD_CLOCK *b);

// Between the 4-byte and the 3-byte date. A century other than 20 is taken as 19.
void fxd_date_to_date2(const TXD_DATE *date, TXD_DATE2 *out);
void fxd_date2_to_date(const TXD_DATE2 *date, TXD_DATE *out);

// The date of a day number (the inverse of fxd_date_daynum).
void fxd_date_from_daynum(uint32_t daynum, TXD_DATE *out);
// Moves the date by a signed number of days.
void fxd_date_add_days(TXD_DATE *date, int32_t days);

// A clock from a SYSTEMTIME (milliseconds and weekday are dropped).
void fxd_clock_from_systemtime(const SYSTEMTIME *time, TXD_CLOCK *out);
// The local time of a UTC file time by the time-zone rules in force at that instant, and the
// UTC file time of a local one; false when there is no such time. (FileTimeToLocalFileTime
// applies today's offset on Windows, which puts a winter file an hour off in summer.)
bool fxd_local_from_filetime(const FILETIME *utc, FILETIME *local);
bool fxd_filetime_from_local(const FILETIME *local, FILETIME *utc);
// The local clock of a UTC file time, through the MS-DOS date and time (seconds rounded down
// to even). A time the MS-DOS format cannot hold (before 1980 or after 2107) gives the clock
// of MS-DOS date and time 0, which has an empty date, and false.
bool fxd_clock_from_filetime(const FILETIME *time, TXD_CLOCK *out);

// Between a clock and the MS-DOS date and time words (2-second resolution). The MS-DOS words
// 0 give a clock with an empty date. fxd_clock_to_dos answers false, and both words 0, for a
// clock the MS-DOS format cannot hold.
void fxd_clock_from_dos(WORD dos_date, WORD dos_time, TXD_CLOCK *out);
bool fxd_clock_to_dos(const TXD_CLOCK *clock, WORD *dos_date, WORD *dos_time);
