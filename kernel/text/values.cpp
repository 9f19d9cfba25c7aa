// The value formatters: numbers in six styles, dates, times and clocks in fixed layouts,
// packed-decimal numbers, trimmed lengths, day numbers and weekdays. No locale is consulted.
#include "kernel/text/dates.h"
#include "kernel/text/format.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char *month_names[12] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};
constexpr const char *day_names[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
// Days of a common year before each month.
constexpr uint32_t days_before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

int bcd_value(uint8_t b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

// Two decimal digits of v (already reduced below 100 by the caller's arithmetic or here).
char *put2(char *p, int v) {
    v %= 100;
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

char *put4(char *p, int v) {
    v %= 10000;
    p = put2(p, v / 100);
    return put2(p, v % 100);
}

char *put_text(char *p, const char *text) {
    size_t n = std::strlen(text);
    std::memcpy(p, text, n);
    return p + n;
}

// A day of the month without a leading zero, and its suffix when asked for.
char *put_day(char *p, int day, bool suffix) {
    day %= 100;
    if (day >= 10) *p++ = static_cast<char>('0' + day / 10);
    *p++ = static_cast<char>('0' + day % 10);
    if (suffix) {
        const char *s = "th";
        if (day == 1 || day == 21 || day == 31)
            s = "st";
        else if (day == 2 || day == 22)
            s = "nd";
        else if (day == 3 || day == 23)
            s = "rd";
        p = put_text(p, s);
    }
    return p;
}

char *put_abbreviation(char *p, const char *name) {
    std::memcpy(p, name, 3);
    return p + 3;
}

// The parts of a date as numbers.
struct DateParts {
    int day, month, year;
    const char *month_name; // null for a month outside 1-12

    explicit DateParts(const TXD_DATE &d)
        : day(bcd_value(d.day)), month(bcd_value(d.month)),
          year(bcd_value(d.century) * 100 + bcd_value(d.year)),
          month_name(month >= 1 && month <= 12 ? month_names[month - 1] : nullptr) {}

    // The last two digits of (year - 1900).
    int short_year() const { return ((year - 1900) % 100 + 100) % 100; }
};

void trim_trailing_blanks(char *text) {
    size_t n = std::strlen(text);
    while (n > 0 && text[n - 1] == ' ') --n;
    text[n] = '\0';
}

// Writes `width` characters of value's digits into out: right-justified, filled per style;
// styles 5 and 6 then move the digits to the left end.
void put_digits(uint64_t value, char *out, int width, int style) {
    if (width <= 0) return;
    const unsigned base = (style == 3 || style == 4 || style == 6) ? 16 : 10;
    const char fill = (style == 2 || style == 4) ? '0' : ' ';
    int i = width;
    do {
        out[--i] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0 && i > 0);
    while (i > 0) out[--i] = fill;
    if (style == 5 || style == 6) {
        int blanks = 0;
        while (blanks < width && out[blanks] == ' ') ++blanks;
        std::memmove(out, out + blanks, width - blanks);
        std::memset(out + width - blanks, ' ', blanks);
    }
}

// A number of one of the four widths: the type's decimal or hexadecimal field, with styles
// 5 and 6 cut to the digits.
char *number_format(uint64_t value, char *out, int style, int decimal_width, int hex_width) {
    if (style < 1 || style > 6) {
        out[0] = '\0';
        return out;
    }
    const int width = (style == 3 || style == 4 || style == 6) ? hex_width : decimal_width;
    put_digits(value, out, width, style);
    out[width] = '\0';
    if (style >= 5) trim_trailing_blanks(out);
    return out;
}

} // namespace

// ---- Numbers --------------------------------------------------------------------------------

char *fxd_digits_format(uint32_t value, char *out, int width, int style) {
    if (style < 1 || style > 6) {
        if (width > 0) std::memset(out, ' ', width);
        return out;
    }
    put_digits(value, out, width, style);
    return out;
}

char *fxd_byte_format(uint8_t value, char *out, int style) {
    return number_format(value, out, style, 3, 2);
}

char *fxd_word_format(uint16_t value, char *out, int style) {
    return number_format(value, out, style, 5, 4);
}

char *fxd_dword_format(uint32_t value, char *out, int style) {
    return number_format(value, out, style, 10, 8);
}

char *fxd_qword_format(uint64_t value, char *out, int style) {
    return number_format(value, out, style, 20, 16);
}

// ---- Dates, times, clocks -------------------------------------------------------------------

uint32_t fxd_date_daynum(const TXD_DATE *date) {
    const DateParts d(*date);
    // A month outside 1-12 contributes no days rather than reading outside the table.
    const uint32_t before = (d.month >= 1 && d.month <= 12) ? days_before_month[d.month - 1] : 0;
    const uint32_t y = static_cast<uint32_t>(d.year);
    uint32_t n = static_cast<uint32_t>(d.day) - 1 + before + 1461 * (y / 4) + 365 * (y % 4);
    if (y % 4 != 0 || d.month > 2) n += 1;
    return n;
}

int fxd_date_weekday(const TXD_DATE *date) {
    return static_cast<int>((fxd_date_daynum(date) + 5) % 7);
}

char *fxd_date_format(const TXD_DATE *date, char *out, int style) {
    static constexpr int widths[14] = {0, 8, 29, 6, 6, 19, 10, 11, 10, 10, 8, 8, 6, 8};
    if (style < 1 || style > 13) {
        out[0] = '\0';
        return out;
    }
    const int width = widths[style];
    std::memset(out, ' ', width);
    out[width] = '\0';
    const bool trimmed = style == 2 || style == 5 || style == 7;
    if (date->day == 0) {
        if (style == 10) std::memcpy(out, "--/--/--", 8);
        if (trimmed) out[0] = '\0';
        return out;
    }

    const DateParts d(*date);
    const char *month_name = d.month_name ? d.month_name : "";
    char *p = out;
    switch (style) {
    case 1:
    case 10:
        p = put2(p, d.day);
        *p++ = '-';
        p = put2(p, d.month);
        *p++ = '-';
        put2(p, d.short_year());
        break;
    case 2:
        p = put_text(p, day_names[fxd_date_weekday(date)]);
        *p++ = ' ';
        [[fallthrough]];
    case 5:
        p = put_day(p, d.day, true);
        *p++ = ' ';
        p = put_text(p, month_name);
        *p++ = ' ';
        put4(p, d.year);
        break;
    case 3:
        p = put2(p, d.day);
        p = put2(p, d.month);
        put2(p, d.short_year());
        break;
    case 4:
        p = put2(p, d.short_year());
        p = put2(p, d.month);
        put2(p, d.day);
        // Years from 2000 on sort after the 1900s: the first digit becomes a letter.
        if (d.year >= 2000) out[0] = static_cast<char>(out[0] + 17);
        break;
    case 6:
    case 8: {
        const char separator = style == 6 ? '-' : '/';
        p = put2(p, d.day);
        *p++ = separator;
        p = put2(p, d.month);
        *p++ = separator;
        put4(p, d.year);
        break;
    }
    case 7:
        if (d.month_name) put_abbreviation(out, d.month_name);
        put_day(out + 4, d.day, false);
        put4(out + (d.day % 100 >= 10 ? 7 : 6), d.year);
        break;
    case 9:
        p = put4(p, d.year);
        *p++ = '-';
        p = put2(p, d.month);
        *p++ = '-';
        put2(p, d.day);
        break;
    case 11:
        if (d.month_name) put_abbreviation(out, d.month_name);
        put4(out + 4, d.year);
        break;
    case 12:
        p = put2(p, d.month);
        p = put2(p, d.day);
        put2(p, d.short_year());
        break;
    case 13:
        p = put4(p, d.year);
        p = put2(p, d.month);
        put2(p, d.day);
        break;
    }
    out[width] = '\0';
    if (trimmed) trim_trailing_blanks(out);
    return out;
}

char *fxd_date2_format(const TXD_DATE2 *date, char *out, int style) {
    TXD_DATE full;
    fxd_date2_to_date(date, &full);
    return fxd_date_format(&full, out, style);
}

char *fxd_time_format(const TXD_TIME *time, char *out, int style) {
    const bool colons = style != 3 && style != 4;
    const bool seconds = style != 1 && style != 4;
    char *p = put2(out, bcd_value(time->hour));
    if (colons) *p++ = ':';
    p = put2(p, bcd_value(time->minute));
    if (seconds) {
        if (colons) *p++ = ':';
        p = put2(p, bcd_value(time->second));
    }
    *p = '\0';
    return out;
}

char *fxd_clock_format(const TXD_CLOCK *clock, char *out, uint16_t width, int style) {
    std::memset(out, ' ', width);
    char layout[48];
    char part[DXD_FORMAT_ROOM];
    char *p = layout;
    auto date = [&](int date_style) {
        p = put_text(p, fxd_date_format(&clock->date, part, date_style));
    };
    auto time = [&](int time_style) {
        p = put_text(p, fxd_time_format(&clock->time, part, time_style));
    };

    // Style 7 takes the 20-character layout of style 8 where it fits, else DD-MM-YYYY HH:MM.
    if (style == 7 && width >= 20) style = 8;
    switch (style) {
    case 2:
        date(6), *p++ = ' ', time(2);
        break;
    case 3:
        date(3), time(3);
        break;
    case 4:
        date(9), *p++ = ' ', time(2);
        break;
    case 5:
        if (clock->date.day == 0)
            p = put_text(p, "   ");
        else
            p = put_abbreviation(p, day_names[fxd_date_weekday(&clock->date)]);
        *p++ = ' ', date(1), *p++ = ' ', time(1);
        break;
    case 6:
        date(13), time(3);
        break;
    case 7:
        date(6), *p++ = ' ', time(1);
        break;
    case 8:
        date(9), *p++ = 'T', time(2), *p++ = 'Z';
        break;
    case 9: {
        // YYMMDD without the letter that date style 4 gives the years from 2000.
        const DateParts d(clock->date);
        if (clock->date.day == 0)
            p = put_text(p, "      ");
        else
            p = put2(put2(put2(p, d.short_year()), d.month), d.day);
        time(3);
        break;
    }
    default:
        date(8), *p++ = ' ', time(1);
        break;
    }
    const size_t length = static_cast<size_t>(p - layout);
    if (width >= length) std::memcpy(out, layout, length);
    return out;
}

void fxd_clock_now(TXD_CLOCK *clock) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    fxd_clock_from_systemtime(&now, clock);
}

// ---- Packed-decimal numbers -----------------------------------------------------------------

char *fxd_bcd_format(const uint8_t *digits, uint8_t descriptor, char *out, int style) {
    out[0] = '\0';
    const int bytes = descriptor & DXD_BCD_BYTES;
    int decimals = (descriptor & DXD_BCD_DECIMALS) >> 4;
    const bool negative = (descriptor & DXD_BCD_NEGATIVE) != 0;
    const int count = 2 * bytes;
    if (bytes == 0 || decimals > count || style < 0 || style > 12) return out;

    char unpacked[30];
    for (int i = 0; i < bytes; ++i) {
        unpacked[2 * i] = static_cast<char>('0' + (digits[i] >> 4));
        unpacked[2 * i + 1] = static_cast<char>('0' + (digits[i] & 0x0F));
    }
    const int integers = count - decimals;
    const bool grouped = style == 3 || style == 11;
    const int extra = style == 6 ? 0 : (style == 4 || style == 5 || style == 8) ? 2 : 1;
    int width = count + (decimals ? 1 : 0) + extra + (grouped ? integers / 3 : 0);

    if (style == 12) {
        while (decimals > 0 && unpacked[integers + decimals - 1] == '0') --decimals;
    }
    const char *sign = style == 4 ? "DR" : style == 5 ? "CR" : style == 6 ? "" : "-";
    const int sign_length = static_cast<int>(std::strlen(sign));
    const bool sign_first = style == 0 || style == 2 || style == 3 || style == 6 || style == 12;

    char text[48];
    int n = 0;
    if (negative && sign_first) n = static_cast<int>(put_text(text, sign) - text);
    bool leading = style != 6;
    for (int i = 0; i < integers; ++i) {
        if (leading && unpacked[i] == '0' && i != integers - 1) continue;
        leading = false;
        text[n++] = unpacked[i];
        const int rest = integers - 1 - i;
        if (grouped && rest > 0 && rest % 3 == 0) text[n++] = style == 3 ? ',' : '.';
    }
    if (integers == 0) text[n++] = '0';
    if (decimals) {
        text[n++] = style == 11 ? ',' : '.';
        std::memcpy(text + n, unpacked + integers, decimals);
        n += decimals;
    }
    if (style == 7 || style == 8) text[n++] = '%';
    if (negative && !sign_first) n = static_cast<int>(put_text(text + n, sign) - text);

    // A column style keeps its width by dropping leading characters, which only happens to
    // the 0 written before a number of decimals alone. Every other style widens its field
    // rather than cut digits off.
    const char *shown = text;
    if (style == 1 || style == 9 || style == 10) {
        const int needed = n + (negative ? 0 : 1);
        if (needed > width) {
            shown += needed - width;
            n -= needed - width;
        }
    } else if (n > width) {
        width = n;
    }

    char field[48];
    std::memset(field, ' ', sizeof field);
    int at = 0;
    switch (style) {
    case 2:
    case 3:
    case 7:
    case 10:
    case 12:
        break;
    case 1:
    case 4:
    case 5:
    case 8:
    case 9:
        // Positive values leave room for the sign so that signed and unsigned values line up.
        at = std::max(0, (negative ? width : width - sign_length) - n);
        break;
    default:
        at = width - n;
        break;
    }
    std::memcpy(field + at, shown, n);

    if (style == 9 && decimals <= 3) {
        // Shifts the decimal mark into line across 0-3 decimals, through blanks only.
        static constexpr int shifts[4] = {5, 3, 2, 1};
        const int shift = std::min(shifts[decimals], at);
        std::memmove(field, field + shift, width - shift);
        std::memset(field + width - shift, ' ', shift);
    }
    field[width] = '\0';
    std::memcpy(out, field, width + 1);
    trim_trailing_blanks(out);
    return out;
}

// ---- Fixed-length texts ---------------------------------------------------------------------

uint16_t fxd_text_length(const char *text, uint16_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) --length;
    return length;
}

uint16_t fxd_wtext_length(const WCHAR *text, uint16_t length) {
    while (length > 0 && (text[length - 1] == u' ' || text[length - 1] == 0)) --length;
    return length;
}
