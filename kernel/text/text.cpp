// Small text operations: ASCII case, comparisons, searches, caller-buffer texts, fields and
// number reading.
#include "kernel/text/text.h"

#include "kernel/text/format.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

int sign_of(unsigned char a, unsigned char b) {
    return a < b ? -1 : a > b ? 1 : 0;
}

unsigned char upper_byte(char c) {
    return static_cast<unsigned char>(fxd_upper_char(c));
}

// The value of one digit in `base`, or -1.
int digit_value(char c, unsigned base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t length_of(const char *text) {
    size_t n = std::strlen(text);
    return n > 0xFFFF ? 0xFFFF : n;
}

} // namespace

// ---- Case -----------------------------------------------------------------------------------

char fxd_upper_char(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char fxd_lower_char(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char *fxd_upper_text(char *text, uint16_t length) {
    for (uint16_t i = 0; i < length; ++i) text[i] = fxd_upper_char(text[i]);
    return text;
}

// ---- Comparison -----------------------------------------------------------------------------

int fxd_compare(const void *a, const void *b, size_t length) {
    int c = std::memcmp(a, b, length);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int fxd_compare_nocase(const char *a, const char *b, uint16_t length) {
    for (uint16_t i = 0; i < length; ++i) {
        if (int c = sign_of(upper_byte(a[i]), upper_byte(b[i]))) return c;
    }
    return 0;
}

int fxd_prefix(const char *text, const char *prefix) {
    // strncmp stops at the text's NUL, which sorts before any byte of a longer prefix.
    int c = std::strncmp(text, prefix, std::strlen(prefix));
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int fxd_prefix_nocase(const char *text, const char *prefix) {
    for (size_t i = 0; prefix[i]; ++i) {
        if (int c = sign_of(upper_byte(text[i]), upper_byte(prefix[i]))) return c;
    }
    return 0;
}

bool fxd_all_equal(uint8_t value, const void *data, size_t length) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    return std::all_of(bytes, bytes + length, [value](uint8_t b) { return b == value; });
}

// ---- Search ---------------------------------------------------------------------------------

const char *fxd_find_char(char c, const char *text) {
    if (c == '\0') return nullptr;
    const char *found = std::strchr(text, c);
    return found ? found + 1 : nullptr;
}

char *fxd_find_char(char c, char *text) {
    return const_cast<char *>(fxd_find_char(c, static_cast<const char *>(text)));
}

const char *fxd_find_nocase(const char *needle, const char *text) {
    const size_t n = std::strlen(needle);
    if (n == 0) return text;
    for (const char *start = text; *start; ++start) {
        if (upper_byte(*start) != upper_byte(needle[0])) continue;
        size_t i = 1;
        while (i < n && start[i] && upper_byte(start[i]) == upper_byte(needle[i])) ++i;
        if (i == n) return start + n;
    }
    return nullptr;
}

char *fxd_find_nocase(const char *needle, char *text) {
    return const_cast<char *>(fxd_find_nocase(needle, static_cast<const char *>(text)));
}

uint16_t fxd_find(const char *text, const char *needle) {
    const size_t at = std::string_view(text).find(needle);
    return at == std::string_view::npos || at >= DXD_NOT_FOUND ? DXD_NOT_FOUND
                                                               : static_cast<uint16_t>(at);
}

// ---- Texts in caller buffers ----------------------------------------------------------------

char *fxd_clear(char *buffer) {
    buffer[0] = '\0';
    return buffer;
}

char *fxd_append_char(char *buffer, char c) {
    const size_t n = std::strlen(buffer);
    buffer[n] = c;
    buffer[n + 1] = '\0';
    return buffer;
}

char *fxd_append_text(char *buffer, const char *text, uint16_t length) {
    const size_t end = std::strlen(buffer);
    const uint16_t n = fxd_text_length(text, length);
    std::memcpy(buffer + end, text, n);
    buffer[end + n] = '\0';
    return buffer;
}

char *fxd_place(const char *text, char *field, uint16_t width, char alignment) {
    std::memset(field, ' ', width);
    const size_t n = std::min<size_t>(width, std::strlen(text));
    size_t at = (width - n) / 2;
    if (alignment == 'L')
        at = 0;
    else if (alignment == 'R')
        at = width - n;
    std::memcpy(field + at, text, n);
    return field;
}

char *fxd_ljust(char *field, uint16_t width) {
    uint16_t blanks = 0;
    while (blanks < width && field[blanks] == ' ') ++blanks;
    if (blanks == 0 || blanks == width) return field;
    std::memmove(field, field + blanks, width - blanks);
    std::memset(field + width - blanks, ' ', blanks);
    return field;
}

char *fxd_rjust(char *field, uint16_t width) {
    uint16_t blanks = 0;
    while (blanks < width && field[width - 1 - blanks] == ' ') ++blanks;
    if (blanks == 0 || blanks == width) return field;
    std::memmove(field + blanks, field, width - blanks);
    std::memset(field, ' ', blanks);
    return field;
}

char *fxd_trim(char *text) {
    size_t start = 0;
    while (text[start] == ' ') ++start;
    size_t end = std::strlen(text);
    while (end > start && text[end - 1] == ' ') --end;
    std::memmove(text, text + start, end - start);
    text[end - start] = '\0';
    return text;
}

// ---- Strings --------------------------------------------------------------------------------

std::string &fxd_string_upper(std::string &text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string &fxd_string_lower(std::string &text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string &fxd_string_trim(std::string &text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return text;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
    return text;
}

std::string &fxd_string_remove_blanks(std::string &text) {
    std::erase(text, ' ');
    std::erase(text, '\t');
    return text;
}

std::string &fxd_string_replace(std::string &text, std::string_view from, std::string_view to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

// ---- Numbers from text ----------------------------------------------------------------------

uint16_t fxd_parse_number(const char *text, uint16_t length, int type, uint32_t *value) {
    unsigned base;
    if (type == 2 || type == 5)
        base = 10;
    else if (type == 4 || type == 6)
        base = 16;
    else
        return DXD_NUMBER_BAD_TYPE;
    if (length == 0) return DXD_NUMBER_RANGE;

    uint32_t result = 0;
    for (uint16_t i = 0; i < length; ++i) {
        if (text[i] == ' ') {
            if (i == 0) return DXD_NUMBER_RANGE;
            break;
        }
        const int digit = digit_value(text[i], base);
        if (digit < 0) return DXD_NUMBER_BAD_DIGIT;
        if (result > 0xFFFFFFFFu / base) return DXD_NUMBER_RANGE;
        const uint32_t shifted = result * base;
        if (shifted + static_cast<uint32_t>(digit) < shifted) return DXD_NUMBER_RANGE;
        result = shifted + static_cast<uint32_t>(digit);
    }
    *value = result;
    return 0;
}

uint16_t fxd_parse_word(const char *text, uint16_t length, int type, uint16_t *value) {
    uint32_t wide;
    if (uint16_t code = fxd_parse_number(text, length, type, &wide)) return code;
    if (wide > 0xFFFF) return DXD_NUMBER_RANGE;
    *value = static_cast<uint16_t>(wide);
    return 0;
}

uint16_t fxd_parse_byte(const char *text, uint16_t length, int type, uint8_t *value) {
    uint32_t wide;
    if (uint16_t code = fxd_parse_number(text, length, type, &wide)) return code;
    if (wide > 0xFF) return DXD_NUMBER_RANGE;
    *value = static_cast<uint8_t>(wide);
    return 0;
}

uint16_t fxd_parse_number(const char *text, int type, uint32_t *value) {
    return fxd_parse_number(text, static_cast<uint16_t>(length_of(text)), type, value);
}

uint16_t fxd_parse_word(const char *text, int type, uint16_t *value) {
    return fxd_parse_word(text, static_cast<uint16_t>(length_of(text)), type, value);
}

uint16_t fxd_parse_byte(const char *text, int type, uint8_t *value) {
    return fxd_parse_byte(text, static_cast<uint16_t>(length_of(text)), type, value);
}
