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
    position_ = read_position_ = PATCH_FILE_HEADER_SIZE;
    unsigned workers = options.workers ? options.workers : patch_worker_threads();
    // Two blocks a worker keep each one busy while the caller takes the one before.
    slots_.resize(workers < 2 ? 1 : 2 * size_t{workers});
    for (Slot &slot : slots_) {
        slot.stored.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        slot.expanded.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        if (!slot.stored || !slot.expanded) return fail(PatchReadError::memory);
    }
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
    // Each block in flight brings at most a block's size, so while they cannot finish the
    // component, another block must follow them.
    while (!read_failed_ && !work_->full() &&
           uint64_t{work_->in_flight()} * PATCH_BLOCK_SIZE < remaining_) {
        Slot &slot = slots_[work_->next_slot()];
        slot.error = PatchReadError::none;
        uint8_t bytes[PATCH_BUFFER_HEADER_SIZE];
        if (!read_bytes(bytes, sizeof bytes)) {
            slot.error = PatchReadError::reading;
        } else {
            patch_decode_buffer_header(bytes, slot.header);
            // A stored length beyond the block size cannot come from a sound writer.
            if (slot.header.magic != PATCH_BUFFER_MAGIC ||
                slot.header.stored_length > PATCH_BLOCK_SIZE)
                slot.error = PatchReadError::bad_buffer_header;
            else if (!read_bytes(slot.stored.get(), slot.header.stored_length))
                slot.error = PatchReadError::reading;
        }
        read_failed_ = slot.error != PatchReadError::none;
        read_position_ += PATCH_BUFFER_HEADER_SIZE + slot.header.stored_length;
        slot.end = read_position_;
        work_->submit();
    }
}

void PatchReader::expand(Slot &slot) {
    if (slot.error != PatchReadError::none) return;
    if (!patch_expand_block(slot.header, slot.stored.get(), slot.expanded.get(), &slot.produced))
        slot.error = PatchReadError::decompress;
}

bool PatchReader::next_block(const uint8_t **data, uint32_t *length) {
    read_ahead();
    if (work_->in_flight() == 0) return fail(PatchReadError::length_mismatch); // nothing remains
    const Slot &slot = slots_[work_->take()];
    // The file layer's error belongs to the block that met it, read ahead or not.
    if (slot.error != PatchReadError::none) return fail(slot.error);
    position_ = slot.end;
    block_ = slot.header;
    // An empty block would never finish the component; an overlong one would write more
    // than the header promised.
    if (slot.produced == 0 || slot.produced > remaining_)
        return fail(PatchReadError::length_mismatch);
    remaining_ -= slot.produced;
    *data = slot.expanded.get();
    *length = slot.produced;
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
