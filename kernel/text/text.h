// Small text operations used everywhere: ASCII case, comparisons and searches without regard
// to case, texts built in caller buffers, fields placed and justified, numbers read from text.
// Case folding touches only a-z and A-Z, so no result depends on the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---- Case -----------------------------------------------------------------------------------

char fxd_upper_char(char c);
char fxd_lower_char(char c);
// Upper-cases `length` characters in place.
char *fxd_upper_text(char *text, uint16_t length);

// ---- Comparison -----------------------------------------------------------------------------

// -1, 0 or 1 as the first `length` bytes compare as unsigned bytes.
int fxd_compare(const void *a, const void *b, size_t length);
int fxd_compare_nocase(const char *a, const char *b, uint16_t length);
// 0 when `text` begins with `prefix`, else -1 or 1; a text shorter than the prefix never
// matches.
int fxd_prefix(const char *text, const char *prefix);
int fxd_prefix_nocase(const char *text, const char *prefix);
// Every one of `length` bytes equals `value` (true for an empty range).
bool fxd_all_equal(uint8_t value, const void *data, size_t length);

// ---- Search ---------------------------------------------------------------------------------

// Just after the first occurrence of `c` in `text`, or null (also for c == NUL).
const char *fxd_find_char(char c, const char *text);
char *fxd_find_char(char c, char *text);
// Just after the end of the first occurrence of `needle` without regard to case, or null; an
// empty needle answers `text` itself.
const char *fxd_find_nocase(const char *needle, const char *text);
char *fxd_find_nocase(const char *needle, char *text);
// Index of the first exact occurrence of `needle`, or DXD_NOT_FOUND.
uint16_t fxd_find(const char *text, const char *needle);

constexpr uint16_t DXD_NOT_FOUND = 0xFFFF;

// ---- Texts in caller buffers (the caller provides the room) ----------------------------------

char *fxd_clear(char *buffer);
char *fxd_append_char(char *buffer, char c);
// Appends a fixed-length text without its trailing blanks and NULs.
char *fxd_append_text(char *buffer, const char *text, uint16_t length);

// Fills `width` characters of `field` with blanks and puts the first min(width, length) of
// `text` at the left ('L'), the right ('R') or the centre (any other alignment). The field is
// not NUL-terminated; answers it.
char *fxd_place(const char *text, char *field, uint16_t width, char alignment);
// Moves the text of a blank-padded field to its left end, or to its right end.
char *fxd_ljust(char *field, uint16_t width);
char *fxd_rjust(char *field, uint16_t width);
// Left-justifies a NUL-terminated text and cuts its trailing blanks.
char *fxd_trim(char *text);

// ---- Strings, in place ----------------------------------------------------------------------

std::string &fxd_string_upper(std::string &text);
std::string &fxd_string_lower(std::string &text);
// Cuts blanks (only blanks) at both ends.
std::string &fxd_string_trim(std::string &text);
// Removes every blank and every tab.
std::string &fxd_string_remove_blanks(std::string &text);
// Replaces every occurrence of `from` by `to`, scanning on after each replacement; an empty
// `from` changes nothing.
std::string &fxd_string_replace(std::string &text, std::string_view from, std::string_view to = {});

// ---- Numbers from text ----------------------------------------------------------------------

// Types: 2 or 5 decimal, 4 or 6 hexadecimal (0-9, a-f, A-F).
// Codes: 0 read; the others leave the result untouched.
constexpr uint16_t DXD_NUMBER_BAD_DIGIT = 1220; // a character that is not a digit
constexpr uint16_t DXD_NUMBER_RANGE = 1221;     // empty, leading blank, or too large
constexpr uint16_t DXD_NUMBER_BAD_TYPE = 1222;

// Reads digits up to the length or to a blank that follows at least one digit.
uint16_t fxd_parse_number(const char *text, uint16_t length, int type, uint32_t *value);
uint16_t fxd_parse_word(const char *text, uint16_t length, int type, uint16_t *value);
uint16_t fxd_parse_byte(const char *text, uint16_t length, int type, uint8_t *value);
// The same over a NUL-terminated text.
uint16_t fxd_parse_number(const char *text, int type, uint32_t *value);
uint16_t fxd_parse_word(const char *text, int type, uint16_t *value);
uint16_t fxd_parse_byte(const char *text, int type, uint8_t *value);
