// Reading a patch file record by record: its header, each component's header and each block,
// expanded. Verification, extraction and inspection all read through it, so they agree on
// what a sound patch is.
#pragma once

#include "kernel/files/file.h"
#include "patch/format.h"

#include <cstdint>
#include <memory>

enum class PatchReadError : uint8_t {
    none,
    memory,              // no room for the block buffers
    opening,             // the file layer's error is in file()
    reading,             // the file layer's error is in file()
    bad_file_magic,      // not a patch file
    incompatible,        // a version this reader does not know
    bad_component_magic, // a component header that is not one
    bad_buffer_header,   // a block header that is not one, or a stored length beyond a block
    decompress,          // a block that does not expand
    length_mismatch,     // a component's blocks do not add up to its declared length
};

class PatchReader {
public:
    PatchReader();

    // Opens the patch and reads its header.
    [[nodiscard]] bool open(const char *path);
    const PATCH_FILE_HEADER &header() const { return header_; }
    bool is_undo() const { return header_.flags & PATCH_FLAG_UNDO; }
    uint64_t length() const { return length_; }
    uint64_t position() const { return position_; }
    bool at_end() const { return position_ >= length_; }

    // Reads the next component's header; its blocks follow through next_block.
    [[nodiscard]] bool next_component(PATCH_COMPONENT_HEADER &component);
    // Reads the component at `offset` (a position() taken before its next_component).
    [[nodiscard]] bool component_at(uint64_t offset, PATCH_COMPONENT_HEADER &component);
    // Bytes of the current component not yet delivered.
    uint32_t remaining() const { return remaining_; }

    // The next block of the current component, expanded: `data` stays valid until the next
    // call. Fails when a block would carry the component past its declared length or carries
    // nothing while bytes remain.
    [[nodiscard]] bool next_block(const uint8_t **data, uint32_t *length);
    // The header and stored size of the block next_block last delivered.
    const PATCH_BUFFER_HEADER &block_header() const { return block_; }
    // Expands and checks the rest of the current component without delivering it.
    [[nodiscard]] bool skip_component();

    PatchReadError error() const { return error_; }
    const TXI_FILE &file() const { return file_; }
    // The stored path of the component being read, for messages.
    const char *component_path() const { return path_; }

private:
    bool fail(PatchReadError error) {
        error_ = error;
        return false;
    }

    TXI_FILE file_;
    PATCH_FILE_HEADER header_;
    uint64_t length_ = 0, position_ = 0;
    uint32_t remaining_ = 0;
    PATCH_BUFFER_HEADER block_;
    char path_[PATCH_PATH_SIZE] = {};
    PatchReadError error_ = PatchReadError::none;
    std::unique_ptr<uint8_t[]> stored_, expanded_;
};

// Reports the reader's last failure with the tool's texts. Always answers false.
bool patch_report_read_error(const PatchReader &reader);
