// System time, file times and their local and MS-DOS forms. FILETIME counts 100-nanosecond
// intervals since 1 January 1601 UTC; local time is the process's time zone.
#pragma once

#include "platform/posix/base.h"

void GetLocalTime(LPSYSTEMTIME time);
void GetSystemTime(LPSYSTEMTIME time);
void GetSystemTimeAsFileTime(LPFILETIME time);

// FALSE with ERROR_INVALID_PARAMETER for a file time beyond 0x7FFFFFFFFFFFFFFF, or a system
// time with a field out of range (years 1601-30827; the weekday is ignored).
BOOL FileTimeToSystemTime(const FILETIME *file_time, LPSYSTEMTIME system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME *system_time, LPFILETIME file_time);

// The offset applied is the one in force at that instant in the process's time zone.
BOOL FileTimeToLocalFileTime(const FILETIME *file_time, LPFILETIME local_file_time);
BOOL LocalFileTimeToFileTime(const FILETIME *local_file_time, LPFILETIME file_time);

// A time zone's rules as Windows describes them. This platform converts only through the
// process's own time zone (a null zone); the record exists for the signatures.
struct TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
};
using LPTIME_ZONE_INFORMATION = TIME_ZONE_INFORMATION *;

// Between UTC and local time by the rules in force at that instant, as the two functions do
// on Windows with a null zone. Another zone than null fails with ERROR_NOT_SUPPORTED; a time
// out of range with ERROR_INVALID_PARAMETER.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *utc,
                                     LPSYSTEMTIME local);
BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION *zone, const SYSTEMTIME *local,
                                     LPSYSTEMTIME utc);

// MS-DOS date: bits 9-15 years since 1980, 5-8 month, 0-4 day. MS-DOS time: bits 11-15 hour,
// 5-10 minute, 0-4 seconds divided by 2 (rounded down). Years 1980-2107 only; FALSE with
// ERROR_INVALID_PARAMETER outside them or for a field out of range.
BOOL FileTimeToDosDateTime(const FILETIME *file_time, WORD *dos_date, WORD *dos_time);
BOOL DosDateTimeToFileTime(WORD dos_date, WORD dos_time, LPFILETIME file_time);

// Host edge: a FILETIME from host seconds and nanoseconds since 1970 and back. A time before
// 1601 gives FILETIME 0; kova_unix_from_filetime answers false for a file time beyond
// 0x7FFFFFFFFFFFFFFF.
FILETIME kova_filetime_from_unix(int64_t seconds, uint32_t nanoseconds);
[[nodiscard]] bool kova_unix_from_filetime(const FILETIME &time, int64_t *seconds,
                                           uint32_t *nanoseconds);
