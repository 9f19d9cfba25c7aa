// The tagged format engine and its four front ends: a format walks byte by byte, and each tag
// takes its value from the argument list and hands one rendered piece to the sink.
#include "kernel/text/format.h"

#include "platform/host.h"

#include <cstring>
#include <utility>

namespace {

// The front ends expand into a fresh string and only then touch the caller's text, so an
// argument may point into the very string or buffer being written.
void emit_to_string(void *sink, const char *bytes, size_t count) {
    static_cast<std::string *>(sink)->append(bytes, count);
}

std::string expand(const char *format, va_list args) {
    std::string text;
    fxd_fmt_engine(format, &text, emit_to_string, args);
    return text;
}

// ---- Tags -----------------------------------------------------------------------------------

enum class Tag {
    Str,
    Txt,
    Wstr,
    Wtxt,
    Utxt,
    Uwtxt,
    Qword,
    Dword,
    Word,
    Byte,
    Date,
    Date2,
    Clock,
    Time,
    Text,
    Wtext,
    Bcd,
    Bcdu,
    Size,
    Char,
    Eqstr
};

// What follows the comma of a tag: nothing, one style digit, a decimal number, or one
// quote-selecting character.
enum class After { None, Digit, Number, Quote };

struct TagPrefix {
    const char *prefix; // upper case, after the opening %
    Tag tag;
    After after;
};

// Tried in this order; the first prefix that matches in full wins.
constexpr TagPrefix tag_prefixes[] = {
    {"STR%", Tag::Str, After::None},        {"TXT%", Tag::Txt, After::None},
    {"WSTR%", Tag::Wstr, After::None},      {"WTXT%", Tag::Wtxt, After::None},
    {"UTXT%", Tag::Utxt, After::None},      {"UWTXT%", Tag::Uwtxt, After::None},
    {"QWORD%,", Tag::Qword, After::Digit},  {"DWORD%,", Tag::Dword, After::Digit},
    {"WORD%,", Tag::Word, After::Digit},    {"BYTE%,", Tag::Byte, After::Digit},
    {"DATE%,", Tag::Date, After::Number},   {"DATE2%,", Tag::Date2, After::Number},
    {"CLOCK%,", Tag::Clock, After::Number}, {"TIME%,", Tag::Time, After::Digit},
    {"TEXT%,", Tag::Text, After::Number},   {"WTEXT%,", Tag::Wtext, After::Number},
    {"BCD%,", Tag::Bcd, After::Number},     {"BCDU%,", Tag::Bcdu, After::Number},
    {"SIZE%,", Tag::Size, After::Digit},    {"CHAR%", Tag::Char, After::None},
    {"EQSTR%,", Tag::Eqstr, After::Quote},
};

char fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Length of the matched prefix at `p` (just after the %), 0 when it does not match.
size_t match_prefix(const char *p, const char *prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i) {
        if (fold(p[i]) != prefix[i]) return 0; // also stops at the format's NUL
    }
    return i;
}

// Wide text converted to the ANSI code page, as the host converts names, and emitted.
void emit_wide(void *sink, TXD_FMT_EMIT emit, const WCHAR *wide, size_t count, bool cut_leading) {
    if (count == 0) return;
    const std::string ansi = kova_ansi_from_wide({wide, count});
    size_t start = 0;
    if (cut_leading) {
        while (start < ansi.size() && ansi[start] == ' ') ++start;
    }
    if (ansi.size() > start) emit(sink, ansi.data() + start, ansi.size() - start);
}

// A fixed-length wide text up to its trimmed length, stopping early at an embedded NUL.
void emit_wide_field(void *sink, TXD_FMT_EMIT emit, const WCHAR *wide, uint16_t length,
                     bool cut_leading) {
    if (!wide) return;
    size_t n = fxd_wtext_length(wide, length);
    size_t end = 0;
    while (end < n && wide[end] != 0) ++end;
    emit_wide(sink, emit, wide, end, cut_leading);
}

void emit_field(void *sink, TXD_FMT_EMIT emit, const char *text, uint16_t length,
                bool cut_leading) {
    if (!text) return;
    size_t n = fxd_text_length(text, length);
    size_t start = 0;
    if (cut_leading) {
        while (start < n && text[start] == ' ') ++start;
    }
    if (n > start) emit(sink, text + start, n - start);
}

void emit_text(void *sink, TXD_FMT_EMIT emit, const char *text) {
    if (text && *text) emit(sink, text, std::strlen(text));
}

// The text with each quote character doubled, emitted in one piece.
void emit_doubled_quotes(void *sink, TXD_FMT_EMIT emit, const char *text, char quote) {
    if (!text || !*text) return;
    std::string doubled;
    for (const char *p = text; *p; ++p) {
        doubled += *p;
        if (*p == quote) doubled += quote;
    }
    emit(sink, doubled.data(), doubled.size());
}

} // namespace

void *fxd_fmt_engine(const char *format, void *sink, TXD_FMT_EMIT emit, va_list args) {
    if (!format) return sink;
    va_list ap;
    va_copy(ap, args);
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            emit(sink, p, 1);
            ++p;
            continue;
        }
        if (p[1] == '\0') {
            emit(sink, p, 1);
            break;
        }
        if (p[1] == '%') {
            emit(sink, p, 1);
            p += 2;
            continue;
        }
        const TagPrefix *found = nullptr;
        size_t matched = 0;
        for (const TagPrefix &candidate : tag_prefixes) {
            matched = match_prefix(p + 1, candidate.prefix);
            if (matched) {
                found = &candidate;
                break;
            }
        }
        if (!found) {
            emit(sink, p, 2);
            p += 2;
            continue;
        }
        p += 1 + matched;

        // The style, length or quote after the comma. A missing one (the format ends) reads
        // as 0, which every formatter treats as a style of its own or as empty.
        unsigned style = 0;
        char quote_selector = '\0';
        switch (found->after) {
        case After::None:
            break;
        case After::Digit:
            if (*p) style = static_cast<unsigned char>(*p++) - '0';
            break;
        case After::Number:
            while (*p >= '0' && *p <= '9') style = (style * 10 + (*p++ - '0')) & 0xFFFF;
            break;
        case After::Quote:
            if (*p) quote_selector = *p++;
            break;
        }
        const int s = static_cast<int>(style);

        char work[DXD_FORMAT_ROOM];
        switch (found->tag) {
        case Tag::Str:
            emit_text(sink, emit, va_arg(ap, const char *));
            break;
        case Tag::Txt:
        case Tag::Utxt: {
            const char *text = va_arg(ap, const char *);
            auto length = static_cast<uint16_t>(va_arg(ap, unsigned));
            emit_field(sink, emit, text, length, found->tag == Tag::Utxt);
            break;
        }
        case Tag::Text:
            emit_field(sink, emit, va_arg(ap, const char *), static_cast<uint16_t>(style), false);
            break;
        case Tag::Wstr: {
            const WCHAR *wide = va_arg(ap, const WCHAR *);
            if (!wide) break;
            size_t n = 0;
            while (wide[n]) ++n;
            emit_wide(sink, emit, wide, n, false);
            break;
        }
        case Tag::Wtxt:
        case Tag::Uwtxt: {
            const WCHAR *wide = va_arg(ap, const WCHAR *);
            auto length = static_cast<uint16_t>(va_arg(ap, unsigned));
            emit_wide_field(sink, emit, wide, length, found->tag == Tag::Uwtxt);
            break;
        }
        case Tag::Wtext:
            emit_wide_field(sink, emit, va_arg(ap, const WCHAR *), static_cast<uint16_t>(style),
                            false);
            break;
        case Tag::Qword:
            emit_text(sink, emit, fxd_qword_format(va_arg(ap, uint64_t), work, s));
            break;
        case Tag::Dword:
        case Tag::Size:
            emit_text(sink, emit, fxd_dword_format(va_arg(ap, uint32_t), work, s));
            break;
        case Tag::Word:
            emit_text(sink, emit,
                      fxd_word_format(static_cast<uint16_t>(va_arg(ap, unsigned)), work, s));
            break;
        case Tag::Byte:
            emit_text(sink, emit,
                      fxd_byte_format(static_cast<uint8_t>(va_arg(ap, unsigned)), work, s));
            break;
        case Tag::Date:
            emit_text(sink, emit, fxd_date_format(va_arg(ap, const TXD_DATE *), work, s));
            break;
        case Tag::Date2:
            emit_text(sink, emit, fxd_date2_format(va_arg(ap, const TXD_DATE2 *), work, s));
            break;
        case Tag::Time:
            emit_text(sink, emit, fxd_time_format(va_arg(ap, const TXD_TIME *), work, s));
            break;
        case Tag::Clock: {
            constexpr uint16_t field = 20;
            fxd_clock_format(va_arg(ap, const TXD_CLOCK *), work, field, s);
            size_t n = fxd_text_length(work, field);
            if (n) emit(sink, work, n);
            break;
        }
        case Tag::Bcd: {
            const auto *bcd = va_arg(ap, const TXD_BCD *);
            emit_text(sink, emit, fxd_bcd_format(bcd->digits, bcd->descriptor, work, s));
            break;
        }
        case Tag::Bcdu: {
            const auto *digits = va_arg(ap, const uint8_t *);
            auto descriptor = static_cast<uint8_t>(va_arg(ap, unsigned));
            emit_text(sink, emit, fxd_bcd_format(digits, descriptor, work, s));
            break;
        }
        case Tag::Char: {
            char c = static_cast<char>(va_arg(ap, int));
            emit(sink, &c, 1);
            break;
        }
        case Tag::Eqstr:
            emit_doubled_quotes(sink, emit, va_arg(ap, const char *),
                                quote_selector == '1' ? '\'' : '"');
            break;
        }
    }
    va_end(ap);
    return sink;
}

std::string &fxd_fmt_append(std::string &out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    out += expand(format, args);
    va_end(args);
    return out;
}

std::string fxd_fmt_append(std::string &&out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    out += expand(format, args);
    va_end(args);
    return std::move(out);
}

std::string &fxd_fmt_assign(std::string &out, const char *format, ...) {
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(out, format, args);
    va_end(args);
    return out;
}

std::string &fxd_fmt_vassign(std::string &out, const char *format, va_list args) {
    out = expand(format, args);
    return out;
}

char *fxd_fmt_buffer(char *buffer, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = expand(format, args);
    va_end(args);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return buffer;
}

char *fxd_fmt_buffer_append(char *buffer, const char *format, va_list args) {
    std::string text = expand(format, args);
    std::memcpy(buffer + std::strlen(buffer), text.c_str(), text.size() + 1);
    return buffer;
}
