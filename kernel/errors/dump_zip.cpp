// The dump archive's ZIP writer over libzip, building the archive in memory.
#include "kernel/errors/dump_zip.h"

#include <zip.h>

namespace {

// The bytes a finished in-memory archive holds.
bool read_all(zip_source_t *source, std::vector<uint8_t> *out) {
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_source_open(source) < 0) return false;
    bool ok = zip_source_stat(source, &stat) == 0 && (stat.valid & ZIP_STAT_SIZE);
    if (ok) {
        std::vector<uint8_t> bytes(stat.size);
        ok = zip_source_read(source, bytes.data(), bytes.size()) ==
             static_cast<zip_int64_t>(bytes.size());
        if (ok) out->swap(bytes);
    }
    zip_source_close(source);
    return ok;
}

} // namespace

bool fxk_zip_one(const std::string &entry_name, const std::vector<uint8_t> &data,
                 std::vector<uint8_t> *archive) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t *memory = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!memory) return false;
    zip_t *zip = zip_open_from_source(memory, ZIP_TRUNCATE, &error);
    if (!zip) {
        zip_source_free(memory);
        zip_error_fini(&error);
        return false;
    }
    // The archive writes itself into `memory` when it closes; keep it for the reading.
    zip_source_keep(memory);
    zip_source_t *entry = zip_source_buffer(zip, data.data(), data.size(), 0);
    zip_int64_t index = entry ? zip_file_add(zip, entry_name.c_str(), entry, ZIP_FL_ENC_GUESS) : -1;
    if (index < 0) {
        if (entry) zip_source_free(entry);
        zip_discard(zip);
        zip_source_free(memory);
        zip_error_fini(&error);
        return false;
    }
    zip_set_file_compression(zip, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9);
    bool ok = zip_close(zip) == 0;
    if (!ok) zip_discard(zip);
    ok = ok && read_all(memory, archive);
    zip_source_free(memory);
    zip_error_fini(&error);
    return ok;
}
