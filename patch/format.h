// The .kvz patch file: its three records, encoded field by field (little-endian), and the
// writing of one stored block. Undo patches use the same format.
#pragma once

#include "kernel/text/format.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t PATCH_FILE_MAGIC = 9876;
inline constexpr uint16_t PATCH_COMPONENT_MAGIC = 5432;
inline constexpr uint16_t PATCH_BUFFER_MAGIC = 1098;
inline constexpr uint16_t PATCH_VERSION = 2; // written; readers take 0, 1 and 2

inline constexpr size_t PATCH_FILE_HEADER_SIZE = 761;
inline constexpr size_t PATCH_COMPONENT_HEADER_SIZE = 1318;
inline constexpr size_t PATCH_COMPONENT_HEADER_SIZE_V1 = 1311; // no stamp
inline constexpr size_t PATCH_BUFFER_HEADER_SIZE = 5;
inline constexpr size_t PATCH_BLOCK_SIZE = 32768;
inline constexpr size_t PATCH_CREATOR_SIZE = 257;
inline constexpr size_t PATCH_PATH_SIZE = 1305;

inline constexpr uint16_t PATCH_FLAG_UNDO = 0x0001;
inline constexpr uint8_t PATCH_CODEC_STORED = 0xFF;
inline constexpr uint8_t PATCH_CODEC_IMPLODE = 2;

struct PATCH_FILE_HEADER {
    uint16_t magic = PATCH_FILE_MAGIC;
    uint16_t version = PATCH_VERSION;
    TXD_DATE2 created_date{};
    TXD_TIME created_time{};
    char creator[PATCH_CREATOR_SIZE]{};
    uint16_t flags = 0;
};

struct PATCH_COMPONENT_HEADER {
    uint16_t magic = PATCH_COMPONENT_MAGIC;
    uint32_t length = 0;
    char path[PATCH_PATH_SIZE]{};
    TXD_CLOCK stamp{}; // absent in version 1 files
};

struct PATCH_BUFFER_HEADER {
    uint16_t magic = PATCH_BUFFER_MAGIC;
    uint16_t stored_length = 0;
    uint8_t codec = PATCH_CODEC_STORED;
};

// The record that opens a patch's pending file while an add is under way: the patch's bytes from
// `restore_offset` on, as they were before the add, follow it (`saved_length` bytes). Putting
// them back and cutting the patch after them returns it to its state before the add.
inline constexpr uint32_t PATCH_PENDING_MAGIC = 0x50505A4B; // "KZPP"
inline constexpr size_t PATCH_PENDING_HEADER_SIZE = 24;

struct PATCH_PENDING_HEADER {
    uint32_t magic = PATCH_PENDING_MAGIC;
    uint32_t reserved = 0;
    uint64_t restore_offset = 0;
    uint64_t saved_length = 0;
};

// Size of a component header in a file of the given version.
inline size_t patch_component_header_size(uint16_t version) {
    return version == 1 ? PATCH_COMPONENT_HEADER_SIZE_V1 : PATCH_COMPONENT_HEADER_SIZE;
}

// Encoders write exactly the record's size; texts are cut to their field with a NUL and the
// rest of the field zero. Decoders read exactly that size and always leave texts terminated.
void patch_encode_file_header(const PATCH_FILE_HEADER &header, uint8_t out[PATCH_FILE_HEADER_SIZE]);
void patch_decode_file_header(const uint8_t in[PATCH_FILE_HEADER_SIZE], PATCH_FILE_HEADER &header);
void patch_encode_component_header(const PATCH_COMPONENT_HEADER &header,
                                   uint8_t out[PATCH_COMPONENT_HEADER_SIZE]);
void patch_decode_component_header(const uint8_t *in, uint16_t version,
                                   PATCH_COMPONENT_HEADER &header);
void patch_encode_buffer_header(const PATCH_BUFFER_HEADER &header,
                                uint8_t out[PATCH_BUFFER_HEADER_SIZE]);
void patch_decode_buffer_header(const uint8_t in[PATCH_BUFFER_HEADER_SIZE],
                                PATCH_BUFFER_HEADER &header);
void patch_encode_pending_header(const PATCH_PENDING_HEADER &header,
                                 uint8_t out[PATCH_PENDING_HEADER_SIZE]);
void patch_decode_pending_header(const uint8_t in[PATCH_PENDING_HEADER_SIZE],
                                 PATCH_PENDING_HEADER &header);

// The creation date and time of a new header, from one clock of local time.
void patch_header_stamp(const TXD_CLOCK &now, PATCH_FILE_HEADER &header);

// Makes the block for one piece of at most PATCH_BLOCK_SIZE bytes: imploded when that
// shrinks it, else stored as it is. `block` receives the buffer header and the stored bytes
// (room for PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE); answers the block's total size.
size_t patch_make_block(const uint8_t *piece, uint32_t piece_length, uint8_t *block);

// Expands the stored bytes of one block into `out` (PATCH_BLOCK_SIZE bytes). False when the
// codec fails or the stored length is beyond what the format allows; *out_length holds what
// was produced.
bool patch_expand_block(const PATCH_BUFFER_HEADER &header, const uint8_t *stored, uint8_t *out,
                        uint32_t *out_length);
