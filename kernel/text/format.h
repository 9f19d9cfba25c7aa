// The tagged format engine that builds every message, log line and generated name, the
// kernel's packed-decimal value types, and the formatters that render those values as text.
#pragma once

#include "platform/win32.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// ---- Value types ----------------------------------------------------------------------------

// A date in packed BCD, two digits per byte: day (01-31), month (01-12), century (19, 20),
// year within the century (00-99). A day byte of 0 marks an empty date.
struct TXD_DATE {
    uint8_t day, month, century, year;
};

// A short date: day, month and a year code (0x00-0x99 for 1900-1999, 0xA0-0xF9 for
// 2000-2059). All three bytes 0 mark an empty date.
struct TXD_DATE2 {
    uint8_t day, month, year;
};

// A time of day in packed BCD: hour (00-23), minute, second.
struct TXD_TIME {
    uint8_t hour, minute, second;
};

// A local time stamp: a date followed by a time, 7 bytes.
struct TXD_CLOCK {
    TXD_DATE date;
    TXD_TIME time;
};

// A packed-decimal number: a descriptor, then the digit bytes (two digits per byte, most
// significant first). Descriptor bits 0-3 count the digit bytes, bits 4-6 the decimal places
// among the digits, bit 7 marks a negative value. Values of fewer digit bytes may be stored
// in less room; only the bytes the descriptor counts are read.
struct TXD_BCD {
    uint8_t descriptor;
    uint8_t digits[15];
};

static_assert(sizeof(TXD_DATE) == 4 && sizeof(TXD_DATE2) == 3 && sizeof(TXD_TIME) == 3 &&
              sizeof(TXD_CLOCK) == 7 && sizeof(TXD_BCD) == 16);

// Descriptor fields of a TXD_BCD.
constexpr uint8_t DXD_BCD_BYTES = 0x0F;
constexpr uint8_t DXD_BCD_DECIMALS = 0x70;
constexpr uint8_t DXD_BCD_NEGATIVE = 0x80;

// Room a caller provides for the text of fxd_bcd_format, fxd_date_format and friends: the
// widest layout (41 characters) and its NUL.
constexpr size_t DXD_FORMAT_ROOM = 42;

// ---- The engine -----------------------------------------------------------------------------

// Receives each piece of output: `count` bytes at `bytes`, not NUL-terminated.
using TXD_FMT_EMIT = void (*)(void *sink, const char *bytes, size_t count);

// Expands `format` into `emit` calls on `sink`, taking one value (or two) per tag from `args`
// in the order of the tags. Returns `sink`.
//
// Tags (names fold case; N is a decimal number, D a single digit, Q a single character):
//   %str% const char*          %txt% const char*, length     %utxt% as %txt%, leading blanks cut
//   %wstr% const WCHAR*        %wtxt% const WCHAR*, length   %uwtxt% as %wtxt%, leading cut
//   %qword%,D uint64_t         %dword%,D / %size%,D uint32   %word%,D / %byte%,D (as int)
//   %date%,N TXD_DATE*         %date2%,N TXD_DATE2*          %clock%,N TXD_CLOCK*
//   %time%,D TXD_TIME*         %text%,N const char*          %wtext%,N const WCHAR*
//   %bcd%,N TXD_BCD*           %bcdu%,N digits, descriptor   %char% one character
//   %eqstr%,Q const char* with every quote doubled (Q '1': apostrophe, else double quote)
// Lengths, words, bytes, characters and descriptors are passed as int; %% gives one %.
void *fxd_fmt_engine(const char *format, void *sink, TXD_FMT_EMIT emit, va_list args);

// Appends the expansion to `out`.
std::string &fxd_fmt_append(std::string &out, const char *format, ...);
// The same on a temporary, answering the finished text: fxd_fmt_append(std::string(), ...).
std::string fxd_fmt_append(std::string &&out, const char *format, ...);
// Replaces the content of `out` with the expansion.
std::string &fxd_fmt_assign(std::string &out, const char *format, ...);
std::string &fxd_fmt_vassign(std::string &out, const char *format, va_list args);
// Replaces the NUL-terminated text in `buffer` with the expansion. The caller provides room.
char *fxd_fmt_buffer(char *buffer, const char *format, ...);
// Appends the expansion to the NUL-terminated text in `buffer`. The caller provides room.
char *fxd_fmt_buffer_append(char *buffer, const char *format, va_list args);

// ---- Value formatters -----------------------------------------------------------------------
// Each writes a NUL-terminated text into `out` and returns `out`, unless said otherwise.

// Number styles: 1 decimal, blank-filled to the type's width; 2 decimal, zero-filled;
// 3 hexadecimal, blank-filled; 4 hexadecimal, zero-filled; 5 decimal, 6 hexadecimal, both
// with only the digits the value needs. Any other style gives the empty text.
char *fxd_byte_format(uint8_t value, char *out, int style);
char *fxd_word_format(uint16_t value, char *out, int style);
char *fxd_dword_format(uint32_t value, char *out, int style);
char *fxd_qword_format(uint64_t value, char *out, int style);
// Writes exactly `width` characters and no NUL; styles 5 and 6 put the digits at the left end
// of the field and the blanks after them. Digits that do not fit in `width` are cut from the
// most significant end.
char *fxd_digits_format(uint32_t value, char *out, int width, int style);

// Date styles 1-13 (DD-MM-YY, weekday and day names, DDMMYY, YYMMDD, ...); any other style
// gives the empty text.
char *fxd_date_format(const TXD_DATE *date, char *out, int style);
char *fxd_date2_format(const TXD_DATE2 *date, char *out, int style);
// Time styles: 1 HH:MM, 3 HHMMSS, 4 HHMM, any other HH:MM:SS.
char *fxd_time_format(const TXD_TIME *time, char *out, int style);
// Fills exactly `width` characters (no NUL) with the clock's layout for `style`, or with
// blanks when the layout does not fit.
char *fxd_clock_format(const TXD_CLOCK *clock, char *out, uint16_t width, int style);
// Packed-decimal number styles 0-12; the text has no trailing blanks. `out` holds
// DXD_FORMAT_ROOM bytes.
char *fxd_bcd_format(const uint8_t *digits, uint8_t descriptor, char *out, int style);

// Length of a fixed-length text without its trailing blanks and NULs.
uint16_t fxd_text_length(const char *text, uint16_t length);
uint16_t fxd_wtext_length(const WCHAR *text, uint16_t length);

// Fills `clock` from the local system time.
void fxd_clock_now(TXD_CLOCK *clock);

// Days since 1 January of year 0 counting every fourth year as a leap year (exact for
// 1901-2099); 9 December 2026 is day 740339.
uint32_t fxd_date_daynum(const TXD_DATE *date);
// Day of the week, 0 Sunday to 6 Saturday.
int fxd_date_weekday(const TXD_DATE *date);
