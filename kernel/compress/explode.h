// The explode decompressor: reads an implode stream of either literal mode and any of the
// three dictionary sizes and writes the bytes it stands for.
#pragma once

// Results of fxd_explode.
inline constexpr int DXD_EXPLODE_OK = 0;
inline constexpr int DXD_EXPLODE_WRITE_ERROR = 1;   // not produced: writes cannot fail
inline constexpr int DXD_EXPLODE_TRUNCATED = 2;     // the input ended before the end code
inline constexpr int DXD_EXPLODE_BAD_LITERAL = -1;  // literal-mode byte greater than 1
inline constexpr int DXD_EXPLODE_BAD_DICT = -2;     // dictionary size code not 4, 5 or 6
inline constexpr int DXD_EXPLODE_BAD_DISTANCE = -3; // a match reaches before the first byte

// Expands the stream that `read` delivers (16,384 bytes requested at a time into a buffer of
// the calling thread; 0 means no more input) and hands the output to `write` in pieces of
// 4,096 bytes, then the rest; bytes decoded before a failure are still written. Both
// callbacks get a null user parameter. Safe for any input; no heap allocation.
int fxd_explode(unsigned (*read)(char *buf, unsigned *size, void *param),
                void (*write)(char *buf, unsigned *size, void *param));
