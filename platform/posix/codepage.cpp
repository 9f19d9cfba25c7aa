// Windows-1252, UTF-16 and UTF-8 conversions for the POSIX platform.
#include "platform/host.h"
#include "platform/win32.h"

#include <cstring>

namespace {

// Windows-1252 assigns 0x80-0x9F to typographic characters; five of the slots are unused
// and map to themselves, as MultiByteToWideChar does.
constexpr char16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t wide_from_ansi(unsigned char c) {
    return c >= 0x80 && c < 0xA0 ? cp1252_high[c - 0x80] : c;
}

// The ANSI byte for a code point, or -1 when Windows-1252 has none.
int ansi_from_code_point(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i)
        if (cp1252_high[i] == cp) return 0x80 + i;
    return -1;
}

// Decodes one code point of UTF-16 at w[i]; lone surrogates decode as themselves.
char32_t next_utf16(const WCHAR *w, size_t n, size_t &i) {
    char32_t c = w[i++];
    if (c >= 0xD800 && c < 0xDC00 && i < n && w[i] >= 0xDC00 && w[i] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (w[i++] - 0xDC00);
    return c;
}

// Decodes one code point of UTF-8 at s[i]; an invalid sequence yields U+FFFD and one byte.
char32_t next_utf8(const unsigned char *s, size_t n, size_t &i) {
    unsigned char c = s[i++];
    if (c < 0x80) return c;
    int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : -1;
    if (extra < 0 || i + extra > n) return 0xFFFD;
    char32_t cp = c & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static constexpr char32_t least[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0xFFFD;
    i += extra;
    return cp;
}

void append_utf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_utf16(std::u16string &out, char32_t cp) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

bool is_utf8(UINT code_page) {
    return code_page == CP_UTF8;
}

// Copies a converted text into the caller's buffer with Windows' size rules.
template <typename Unit>
int deliver(const std::basic_string<Unit> &converted, Unit *out, int size) {
    int needed = static_cast<int>(converted.size());
    if (size == 0) return needed;
    if (!out || size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, converted.data(), converted.size() * sizeof(Unit));
    return needed;
}

} // namespace

int MultiByteToWideChar(UINT code_page, DWORD, LPCSTR text, int length, LPWSTR wide,
                        int wide_size) {
    if (!text || wide_size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = length < 0 ? std::strlen(text) + 1 : static_cast<size_t>(length);
    auto bytes = reinterpret_cast<const unsigned char *>(text);
    std::u16string converted;
    converted.reserve(n);
    if (is_utf8(code_page)) {
        for (size_t i = 0; i < n;) append_utf16(converted, next_utf8(bytes, n, i));
    } else {
        for (size_t i = 0; i < n; ++i) converted += wide_from_ansi(bytes[i]);
    }
    return deliver(converted, wide, wide_size);
}

int WideCharToMultiByte(UINT code_page, DWORD, LPCWSTR wide, int length, LPSTR text, int size,
                        LPCSTR default_char, BOOL *used_default) {
    if (!wide || size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = 0;
    if (length < 0) {
        while (wide[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(length);
    }
    if (used_default) *used_default = FALSE;
    std::string converted;
    converted.reserve(n);
    for (size_t i = 0; i < n;) {
        char32_t cp = next_utf16(wide, n, i);
        if (is_utf8(code_page)) {
            append_utf8(converted, cp);
            continue;
        }
        int b = ansi_from_code_point(cp);
        if (b < 0) {
            converted += default_char ? *default_char : '?';
            if (used_default) *used_default = TRUE;
        } else {
            converted += static_cast<char>(b);
        }
    }
    return deliver(converted, text, size);
}

std::string kova_ansi_from_utf8(std::string_view utf8) {
    auto bytes = reinterpret_cast<const unsigned char *>(utf8.data());
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        int b = ansi_from_code_point(next_utf8(bytes, utf8.size(), i));
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

std::string kova_ansi_from_wide(std::basic_string_view<WCHAR> wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size();) {
        int b = ansi_from_code_point(next_utf16(wide.data(), wide.size(), i));
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

std::string kova_utf8_from_ansi(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (unsigned char c : ansi) append_utf8(out, wide_from_ansi(c));
    return out;
}

UINT GetACP() {
    return CP_1252;
}
