// Reading a patch file record by record: its header, each component's header and each block,
// expanded. Verification, extraction and inspection all read through it, so they agree on
// what a sound patch is.
#pragma once

#include "kernel/files/file.h"
#include "patch/format.h"
#include "patch/ordered_work.h"

#include <cstdint>
#include <memory>
#include <vector>

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

struct PatchReadOptions {
    // Threads that expand blocks ahead; 0: one for each processor the process may use.
    // Fewer than two expand on the caller's thread, block by block.
    unsigned workers = 0;
};

// Blocks are expanded ahead on the processors the process may use, while the caller handles
// the ones before: never past a component's end, so that what is read, and any failure and
// where it is reported, are those of reading block by block.
class PatchReader {
public:
    PatchReader();
    ~PatchReader();

    // Opens the patch and reads its header.
    [[nodiscard]] bool open(const char *path, const PatchReadOptions &options = {});
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
    // One block read ahead: its stored bytes, then expanded by a worker.
    struct Block {
        std::unique_ptr<uint8_t[]> stored, expanded;
        PATCH_BUFFER_HEADER header;
        uint64_t end = 0; // the file position after it
        uint32_t produced = 0;
        PatchReadError error = PatchReadError::none;
    };
    // A block expands in tens of microseconds, not much more than handing it to a thread and
    // back costs: blocks go to the workers a few at a time.
    static constexpr size_t blocks_per_slot = 4;
    struct Slot {
        Block blocks[blocks_per_slot];
        size_t count = 0;
    };

    bool fail(PatchReadError error) {
        error_ = error;
        return false;
    }
    void read_ahead();
    // Exactly `count` bytes of the file at the reading position, through the input buffer.
    [[nodiscard]] bool read_bytes(void *into, uint32_t count);
    // Moves the reading position; what the input buffer held is dropped.
    [[nodiscard]] bool seek_input(uint64_t position);
    void expand(Slot &slot);
    // Whether the slot taken last still holds blocks to deliver: it is the caller's until then.
    bool taken_left() const { return taken_delivered_ < taken_blocks_; }
    // Takes back every block read ahead, as before reading a component header.
    void drain();

    TXI_FILE file_;
    // A patch is read front to back in pieces of a few kilobytes (a header, a block); taking
    // them from a buffer filled by large reads spares a call into the system for each.
    std::unique_ptr<uint8_t[]> input_;
    uint32_t input_held_ = 0, input_taken_ = 0;
    PATCH_FILE_HEADER header_;
    uint64_t length_ = 0, position_ = 0;
    uint32_t remaining_ = 0;
    PATCH_BUFFER_HEADER block_;
    char path_[PATCH_PATH_SIZE] = {};
    PatchReadError error_ = PatchReadError::none;
    uint64_t read_position_ = 0; // of the file, ahead of position_ by the blocks in flight
    bool read_failed_ = false;   // nothing is read ahead after a block that failed to read
    std::vector<Slot> slots_;
    size_t blocks_ahead_ = 0; // read and not yet delivered
    // The slot taken last, the blocks it holds and how many of them were delivered.
    size_t taken_ = 0, taken_blocks_ = 0, taken_delivered_ = 0;
    // After the slots, so that its threads are gone before the buffers.
    std::unique_ptr<OrderedWork> work_;
};

// Reports the reader's last failure with the tool's texts. Always answers false.
bool patch_report_read_error(const PatchReader &reader);
