// Encoding and decoding of the patch file's records, and the blocks that carry components.
#include "patch/format.h"

#include "kernel/compress/codec.h"

#include <algorithm>
#include <cstring>

namespace {

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}

void put64(uint8_t *p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t *p) {
    return get16(p) | static_cast<uint32_t>(get16(p + 2)) << 16;
}
uint64_t get64(const uint8_t *p) {
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

// A text field: the text up to its NUL, cut to leave room for one, then zeros.
void put_text(uint8_t *p, const char *text, size_t field) {
    size_t n = strnlen(text, field - 1);
    std::memcpy(p, text, n);
    std::memset(p + n, 0, field - n);
}

void get_text(const uint8_t *p, char *text, size_t field) {
    std::memcpy(text, p, field);
    text[field - 1] = '\0'; // a field without its NUL must not run past the record
}

} // namespace

void patch_encode_file_header(const PATCH_FILE_HEADER &h, uint8_t out[PATCH_FILE_HEADER_SIZE]) {
    std::memset(out, 0, PATCH_FILE_HEADER_SIZE);
    put16(out, h.magic);
    put16(out + 2, h.version);
    std::memcpy(out + 4, &h.created_date, 3);
    std::memcpy(out + 7, &h.created_time, 3);
    put_text(out + 10, h.creator, PATCH_CREATOR_SIZE);
    put16(out + 267, h.flags);
}

void patch_decode_file_header(const uint8_t in[PATCH_FILE_HEADER_SIZE], PATCH_FILE_HEADER &h) {
    h.magic = get16(in);
    h.version = get16(in + 2);
    std::memcpy(&h.created_date, in + 4, 3);
    std::memcpy(&h.created_time, in + 7, 3);
    get_text(in + 10, h.creator, PATCH_CREATOR_SIZE);
    h.flags = get16(in + 267);
}

void patch_encode_component_header(const PATCH_COMPONENT_HEADER &h,
                                   uint8_t out[PATCH_COMPONENT_HEADER_SIZE]) {
    put16(out, h.magic);
    put32(out + 2, h.length);
    put_text(out + 6, h.path, PATCH_PATH_SIZE);
    std::memcpy(out + 1311, &h.stamp, sizeof h.stamp);
}

void patch_decode_component_header(const uint8_t *in, uint16_t version, PATCH_COMPONENT_HEADER &h) {
    h.magic = get16(in);
    h.length = get32(in + 2);
    get_text(in + 6, h.path, PATCH_PATH_SIZE);
    if (version == 1)
        h.stamp = TXD_CLOCK{};
    else
        std::memcpy(&h.stamp, in + 1311, sizeof h.stamp);
}

void patch_encode_buffer_header(const PATCH_BUFFER_HEADER &h,
                                uint8_t out[PATCH_BUFFER_HEADER_SIZE]) {
    put16(out, h.magic);
    put16(out + 2, h.stored_length);
    out[4] = h.codec;
}

void patch_decode_buffer_header(const uint8_t in[PATCH_BUFFER_HEADER_SIZE],
                                PATCH_BUFFER_HEADER &h) {
    h.magic = get16(in);
    h.stored_length = get16(in + 2);
    h.codec = in[4];
}

void patch_encode_pending_header(const PATCH_PENDING_HEADER &h,
                                 uint8_t out[PATCH_PENDING_HEADER_SIZE]) {
    put32(out, h.magic);
    put32(out + 4, h.reserved);
    put64(out + 8, h.restore_offset);
    put64(out + 16, h.saved_length);
}

void patch_decode_pending_header(const uint8_t in[PATCH_PENDING_HEADER_SIZE],
                                 PATCH_PENDING_HEADER &h) {
    h.magic = get32(in);
    h.reserved = get32(in + 4);
    h.restore_offset = get64(in + 8);
    h.saved_length = get64(in + 16);
}

void patch_header_stamp(const TXD_CLOCK &now, PATCH_FILE_HEADER &h) {
    // The short date's year code runs 0x00-0x99 for the 1900s and on from 0xA0 for 2000.
    h.created_date.day = now.date.day;
    h.created_date.month = now.date.month;
    h.created_date.year =
        static_cast<uint8_t>(now.date.century == 0x20 ? now.date.year - 0x60 : now.date.year);
    h.created_time = now.time;
}

size_t patch_make_block(const uint8_t *piece, uint32_t piece_length, uint8_t *block) {
    PATCH_BUFFER_HEADER header;
    uint32_t stored = 0;
    uint8_t *body = block + PATCH_BUFFER_HEADER_SIZE;
    if (piece_length > 0 &&
        fxd_block_compress(piece, piece_length, body, &stored, PATCH_CODEC_IMPLODE) &&
        stored <= piece_length) {
        header.codec = PATCH_CODEC_IMPLODE;
    } else {
        header.codec = PATCH_CODEC_STORED;
        stored = piece_length;
        std::memcpy(body, piece, piece_length);
    }
    header.stored_length = static_cast<uint16_t>(stored);
    patch_encode_buffer_header(header, block);
    return PATCH_BUFFER_HEADER_SIZE + stored;
}

bool patch_expand_block(const PATCH_BUFFER_HEADER &header, const uint8_t *stored, uint8_t *out,
                        uint32_t *out_length) {
    *out_length = 0;
    if (header.stored_length > PATCH_BLOCK_SIZE) return false;
    if (header.codec == PATCH_CODEC_STORED) {
        std::memcpy(out, stored, header.stored_length);
        *out_length = header.stored_length;
        return true;
    }
    uint32_t produced = PATCH_BLOCK_SIZE;
    if (!fxd_block_expand(stored, header.stored_length, out, &produced, header.codec)) return false;
    *out_length = std::min<uint32_t>(produced, PATCH_BLOCK_SIZE);
    return true;
}
