// Reads a ZIP archive's entries through libzip, checking the archive's consistency and each
// entry's checksum.
#include "tests/errors/zip_entries.h"

#include <zip.h>

namespace report_test {

std::map<std::string, std::string> zip_entries(const std::string &archive) {
    int error = 0;
    zip_t *zip = zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (!zip) return {};
    std::map<std::string, std::string> entries;
    bool ok = true;
    zip_int64_t count = zip_get_num_entries(zip, 0);
    for (zip_int64_t i = 0; ok && i < count; ++i) {
        zip_stat_t stat;
        zip_file_t *file = nullptr;
        ok = zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat) == 0 &&
             (stat.valid & ZIP_STAT_NAME) && (stat.valid & ZIP_STAT_SIZE) &&
             (file = zip_fopen_index(zip, static_cast<zip_uint64_t>(i), 0)) != nullptr;
        if (!ok) break;
        std::string content(static_cast<size_t>(stat.size), '\0');
        // libzip compares the checksum once the last byte is read: read one past the end.
        char extra;
        ok = zip_fread(file, content.data(), stat.size) == static_cast<zip_int64_t>(stat.size) &&
             zip_fread(file, &extra, 1) == 0;
        zip_fclose(file);
        if (ok) entries[stat.name] = content;
    }
    zip_discard(zip);
    return ok ? entries : std::map<std::string, std::string>{};
}

} // namespace report_test
