// Reading a patch file record by record, checking each record as it comes.
#include "patch/reader.h"

#include "patch/log.h"

#include <cstring>
#include <new>
#include <string>

PatchReader::PatchReader() = default;

bool PatchReader::open(const char *path) {
    file_.set_name(path);
    if (file_.open(DXI_FILE_READ)) return fail(PatchReadError::opening);
    if (file_.length(&length_)) return fail(PatchReadError::reading);
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    if (file_.read(bytes, sizeof bytes)) return fail(PatchReadError::reading);
    patch_decode_file_header(bytes, header_);
    if (header_.magic != PATCH_FILE_MAGIC) return fail(PatchReadError::bad_file_magic);
    if (header_.version > PATCH_VERSION) return fail(PatchReadError::incompatible);
    position_ = PATCH_FILE_HEADER_SIZE;
    stored_.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
    expanded_.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
    if (!stored_ || !expanded_) return fail(PatchReadError::memory);
    return true;
}

bool PatchReader::next_component(PATCH_COMPONENT_HEADER &component) {
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    size_t size = patch_component_header_size(header_.version);
    if (file_.read(bytes, static_cast<uint32_t>(size))) return fail(PatchReadError::reading);
    position_ += size;
    patch_decode_component_header(bytes, header_.version, component);
    std::memcpy(path_, component.path, sizeof path_);
    if (component.magic != PATCH_COMPONENT_MAGIC) return fail(PatchReadError::bad_component_magic);
    remaining_ = component.length;
    return true;
}

bool PatchReader::component_at(uint64_t offset, PATCH_COMPONENT_HEADER &component) {
    if (file_.seek_to(offset)) return fail(PatchReadError::reading);
    position_ = offset;
    return next_component(component);
}

bool PatchReader::next_block(const uint8_t **data, uint32_t *length) {
    uint8_t bytes[PATCH_BUFFER_HEADER_SIZE];
    if (file_.read(bytes, sizeof bytes)) return fail(PatchReadError::reading);
    patch_decode_buffer_header(bytes, block_);
    // A stored length beyond the block size cannot come from a sound writer.
    if (block_.magic != PATCH_BUFFER_MAGIC || block_.stored_length > PATCH_BLOCK_SIZE)
        return fail(PatchReadError::bad_buffer_header);
    if (file_.read(stored_.get(), block_.stored_length)) return fail(PatchReadError::reading);
    position_ += PATCH_BUFFER_HEADER_SIZE + block_.stored_length;
    uint32_t produced = 0;
    if (!patch_expand_block(block_, stored_.get(), expanded_.get(), &produced))
        return fail(PatchReadError::decompress);
    // An empty block would never finish the component; an overlong one would write more
    // than the header promised.
    if (produced == 0 || produced > remaining_) return fail(PatchReadError::length_mismatch);
    remaining_ -= produced;
    *data = expanded_.get();
    *length = produced;
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
