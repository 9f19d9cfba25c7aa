// The block codec that stores a patch's components: one in-memory block at a time, either
// imploded (codec types 1 and 2) or run-length coded (any other codec type).
#pragma once

#include <cstdint>

// Codec types understood by fxd_block_compress and fxd_block_expand.
inline constexpr int DXD_CODEC_IMPLODE_1K = 1; // implode with a 1,024-byte dictionary
inline constexpr int DXD_CODEC_IMPLODE = 2;    // implode, dictionary chosen by block length

// Compresses src into dst, which must hold at least src_len bytes. Returns 1 with *out_len
// the compressed length (never more than src_len), or 0 when the block does not shrink, with
// *out_len = src_len and dst undefined; the caller then keeps the block's own bytes.
int fxd_block_compress(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len,
                       int codec);

// Expands src into dst. On entry *out_len is dst's capacity. Returns 1 with *out_len the
// expanded length, or 0 for a malformed block or one that would not fit, with
// *out_len = src_len. Safe for any bytes: nothing is written beyond the capacity.
int fxd_block_expand(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len,
                     int codec);

// Run-length coding: items 0x01 b (the literal b), 0x02 lo hi b (a run of lo + 256 * hi
// bytes b) and any other byte standing for itself. fxd_rle_encode has the results of
// fxd_block_compress; fxd_rle_decode those of fxd_block_expand (a truncated item or output
// beyond the capacity *out_len fails).
int fxd_rle_encode(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len);
int fxd_rle_decode(const uint8_t *src, uint32_t src_len, uint8_t *dst, uint32_t *out_len);
