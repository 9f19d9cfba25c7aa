// The implode compressor: a sliding-dictionary coder whose decisions are fixed, so that the
// same input, literal mode and dictionary size always give the same bytes.
#pragma once

// Size of the work area fxd_implode keeps its state in from one refill to the next; the
// caller owns it.
inline constexpr unsigned DXD_IMPLODE_WORK_SIZE = 36312;

inline constexpr unsigned DXD_IMPLODE_RAW = 0;   // literals as plain bytes
inline constexpr unsigned DXD_IMPLODE_CODED = 1; // literals through the fixed literal code

// Results of fxd_implode.
inline constexpr unsigned DXD_IMPLODE_OK = 0;
inline constexpr unsigned DXD_IMPLODE_BAD_DICT = 1;    // dictionary not 1,024, 2,048 or 4,096
inline constexpr unsigned DXD_IMPLODE_BAD_LITERAL = 2; // literal mode neither 0 nor 1

// Compresses everything `read` delivers (4,096 bytes requested at a time; 0 ends the input)
// and hands the stream to `write` in pieces of 2,048 bytes, then the rest. `work` must hold
// DXD_IMPLODE_WORK_SIZE bytes; `param` is passed to both callbacks. No heap allocation.
unsigned fxd_implode(unsigned (*read)(char *buf, unsigned *size, void *param),
                     void (*write)(char *buf, unsigned *size, void *param), char *work, void *param,
                     unsigned *literal_mode, unsigned *dict_size);
