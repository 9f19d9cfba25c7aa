// Reading a patch file record by record, checking each record as it comes.
#include "patch/reader.h"

#include "patch/log.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint32_t kInputBufferSize = 128 * 1024;

} // namespace

PatchReader::PatchReader() = default;
PatchReader::~PatchReader() = default;

bool PatchReader::open(const char *path, const PatchReadOptions &options) {
    work_.reset(); // a reader opened again stops the threads of the last patch first
    file_.set_name(path);
    input_held_ = input_taken_ = 0;
    if (!input_) input_.reset(new (std::nothrow) uint8_t[kInputBufferSize]);
    if (!input_) return fail(PatchReadError::memory);
    if (file_.open(DXI_FILE_READ)) return fail(PatchReadError::opening);
    if (file_.length(&length_)) return fail(PatchReadError::reading);
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    if (!read_bytes(bytes, sizeof bytes)) return fail(PatchReadError::reading);
    patch_decode_file_header(bytes, header_);
    if (header_.magic != PATCH_FILE_MAGIC) return fail(PatchReadError::bad_file_magic);
    if (header_.version > PATCH_VERSION) return fail(PatchReadError::incompatible);
    position_ = PATCH_FILE_HEADER_SIZE;
    unsigned workers = options.workers ? options.workers : patch_worker_threads();
    // Two slots a worker keep each one busy while the caller takes the one before.
    slots_.resize(workers < 2 ? 1 : 2 * size_t{workers});
    for (Slot &slot : slots_) {
        for (Block &block : slot.blocks) {
            block.stored.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
            block.expanded.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
            if (!block.stored || !block.expanded) return fail(PatchReadError::memory);
        }
    }
    drain(); // nothing read ahead yet: only the reading state is set
    work_ = std::make_unique<OrderedWork>(workers, slots_.size(),
                                          [this](size_t index) { expand(slots_[index]); });
    return true;
}

bool PatchReader::read_bytes(void *into, uint32_t count) {
    auto *out = static_cast<uint8_t *>(into);
    uint32_t held = std::min(count, input_held_ - input_taken_);
    std::memcpy(out, input_.get() + input_taken_, held);
    input_taken_ += held;
    out += held;
    count -= held;
    if (count == 0) return true;
    if (count >= kInputBufferSize) return file_.read(out, count) == 0;
    uint32_t got = 0;
    input_held_ = input_taken_ = 0;
    if (file_.read(input_.get(), kInputBufferSize, &got)) return false;
    input_held_ = got;
    held = std::min(count, got);
    std::memcpy(out, input_.get(), held);
    input_taken_ = held;
    // Short of the file's end: the file layer reads the rest itself, and says so as it does
    // for any read that comes up short.
    return held == count || file_.read(out + held, count - held) == 0;
}

bool PatchReader::seek_input(uint64_t position) {
    input_held_ = input_taken_ = 0;
    return file_.seek_to(position) == 0;
}

void PatchReader::drain() {
    while (work_ && work_->in_flight() > 0) work_->take();
    blocks_ahead_ = taken_blocks_ = taken_delivered_ = 0;
    read_position_ = position_;
    read_failed_ = false;
}

bool PatchReader::next_component(PATCH_COMPONENT_HEADER &component) {
    // A caller that left the last component part way has blocks read ahead of it: the header
    // is looked for where that caller stopped, as when nothing is read ahead.
    bool ahead = read_position_ != position_;
    drain();
    if (ahead && !seek_input(position_)) return fail(PatchReadError::reading);
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    size_t size = patch_component_header_size(header_.version);
    if (!read_bytes(bytes, static_cast<uint32_t>(size))) return fail(PatchReadError::reading);
    position_ += size;
    read_position_ = position_;
    patch_decode_component_header(bytes, header_.version, component);
    std::memcpy(path_, component.path, sizeof path_);
    if (component.magic != PATCH_COMPONENT_MAGIC) return fail(PatchReadError::bad_component_magic);
    remaining_ = component.length;
    return true;
}

bool PatchReader::component_at(uint64_t offset, PATCH_COMPONENT_HEADER &component) {
    drain();
    if (!seek_input(offset)) return fail(PatchReadError::reading);
    position_ = read_position_ = offset;
    return next_component(component);
}

void PatchReader::read_ahead() {
    // The slot being delivered is the caller's until its last block is out.
    size_t free_slots = work_->depth() - work_->in_flight() - (taken_left() ? 1 : 0);
    // Each block ahead brings at most a block's size, so while they cannot finish the
    // component, another block must follow them.
    auto more = [&] {
        return !read_failed_ && uint64_t{blocks_ahead_} * PATCH_BLOCK_SIZE < remaining_;
    };
    for (; free_slots > 0 && more(); --free_slots) {
        Slot &slot = slots_[work_->next_slot()];
        for (slot.count = 0; slot.count < blocks_per_slot && more(); ++slot.count) {
            Block &block = slot.blocks[slot.count];
            block.error = PatchReadError::none;
            uint8_t bytes[PATCH_BUFFER_HEADER_SIZE];
            if (!read_bytes(bytes, sizeof bytes)) {
                block.error = PatchReadError::reading;
            } else {
                patch_decode_buffer_header(bytes, block.header);
                // A stored length beyond the block size cannot come from a sound writer.
                if (block.header.magic != PATCH_BUFFER_MAGIC ||
                    block.header.stored_length > PATCH_BLOCK_SIZE)
                    block.error = PatchReadError::bad_buffer_header;
                else if (!read_bytes(block.stored.get(), block.header.stored_length))
                    block.error = PatchReadError::reading;
            }
            read_failed_ = block.error != PatchReadError::none;
            read_position_ += PATCH_BUFFER_HEADER_SIZE + block.header.stored_length;
            block.end = read_position_;
            ++blocks_ahead_;
        }
        work_->submit();
    }
}

void PatchReader::expand(Slot &slot) {
    for (size_t i = 0; i < slot.count; ++i) {
        Block &block = slot.blocks[i];
        if (block.error == PatchReadError::none &&
            !patch_expand_block(block.header, block.stored.get(), block.expanded.get(),
                                &block.produced))
            block.error = PatchReadError::decompress;
    }
}

bool PatchReader::next_block(const uint8_t **data, uint32_t *length) {
    read_ahead();
    if (!taken_left()) {
        if (work_->in_flight() == 0) return fail(PatchReadError::length_mismatch); // none left
        taken_ = work_->take();
        taken_blocks_ = slots_[taken_].count;
        taken_delivered_ = 0;
    }
    const Block &block = slots_[taken_].blocks[taken_delivered_++];
    --blocks_ahead_;
    // The file layer's error belongs to the block that met it, read ahead or not.
    if (block.error != PatchReadError::none) return fail(block.error);
    position_ = block.end;
    block_ = block.header;
    // An empty block would never finish the component; an overlong one would write more
    // than the header promised.
    if (block.produced == 0 || block.produced > remaining_)
        return fail(PatchReadError::length_mismatch);
    remaining_ -= block.produced;
    *data = block.expanded.get();
    *length = block.produced;
    return true;
}

bool PatchReader::skip_component() {
    const uint8_t *data;
    uint32_t length;
    while (remaining_ > 0)
        if (!next_block(&data, &length)) return false;
    return true;
}

bool patch_report_read_error(const PatchReader &reader) {
    switch (reader.error()) {
    case PatchReadError::memory:
        return patch_report("Insufficient Memory");
    case PatchReadError::opening:
        return patch_file_error("opening", reader.file());
    case PatchReadError::reading:
        return patch_file_error("reading", reader.file());
    case PatchReadError::bad_file_magic:
        return patch_report("Invalid Patch File");
    case PatchReadError::incompatible:
        return patch_report("Incompatible Patch File");
    case PatchReadError::bad_component_magic:
        return patch_report("Invalid File Header");
    case PatchReadError::bad_buffer_header:
        return patch_report("Invalid Buffer Header");
    case PatchReadError::decompress:
        return patch_report("Error Decompressing File");
    case PatchReadError::length_mismatch: {
        std::string text;
        fxd_fmt_assign(text,
                       "Unable to apply patch - the blocks of '%str%' do not add up to its length",
                       reader.component_path());
        return patch_report(text.c_str());
    }
    case PatchReadError::none:
        break;
    }
    return false;
}
