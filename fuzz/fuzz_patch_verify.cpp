// Fuzzes the reading of patch files with arbitrary bytes, as a damaged download or a hostile
// sender may deliver them. Each input becomes a patch file in a private folder (in memory when
// /dev/shm is there), is walked record by record with the reader, and is verified as an
// unattended install would. Neither may leave its buffers; every block must stay within the
// component it belongs to; a walk that fails must say why; and the verifier must agree with
// the walk, failing with exactly one report exactly when the walk or a stored path fails.
#include "kernel/files/install.h"
#include "patch/log.h"
#include "patch/process.h"
#include "patch/reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> reports;

void collect_report(const char *text) {
    reports.emplace_back(text);
}

// The folder every input is written to, linked as drive S: of a prefix of its own; removed
// when the fuzzer ends.
struct Workspace {
    std::string root, patch_host;
    const char *patch_dos = "S:\\fuzz.kvz";

    Workspace() {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        std::string name = base + "/kvfuzz-XXXXXX";
        if (!mkdtemp(name.data())) std::abort();
        root = name;
        fs::create_directories(root + "/prefix/dosdevices");
        fs::create_directories(root + "/drive_s/home");
        setenv("KOVA_PREFIX", (root + "/prefix").c_str(), 1);
        setenv("KOVA_UNATTENDED", "1", 1);
        setenv("XDG_DATA_HOME", (root + "/xdg").c_str(), 1);
        if (kova_link_drive('s', root + "/drive_s") != ERROR_SUCCESS) std::abort();
        fxi_set_data_home("S:\\home\\");
        fxi_set_program_dir("S:\\home\\");
        fxi_set_release(0);
        fxi_clear_option(248);
        patch_set_report_sink(collect_report);
        patch_host = root + "/drive_s/fuzz.kvz";
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void write(const uint8_t *data, size_t size) const {
        std::ofstream file(patch_host, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        file.close();
        if (!file) std::abort();
    }
};

Workspace &workspace() {
    static Workspace instance;
    return instance;
}

// What a walk of the whole file with the reader found first.
enum class Walk { sound, read_failed, path_refused };

// A mapped path names a place inside the tree: relative, on no drive, never climbing out.
bool inside_tree(const std::string &mapped) {
    if (mapped.empty()) return true; // refused
    if (mapped[0] == '\\' || mapped.find_first_of(":/") != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = mapped.find('\\', start);
        if (mapped.compare(start, end == std::string::npos ? end : end - start, "..") == 0)
            return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// Reads every component and every block, checking what the reader promises its callers.
Walk walk(const char *path, std::string &report) {
    PatchReader reader;
    Walk first = Walk::sound;
    auto failed = [&] {
        if (reader.error() == PatchReadError::none) std::abort();
        reports.clear();
        if (patch_report_read_error(reader)) std::abort();
        if (reports.size() != 1 || reports[0].empty()) std::abort();
        report = reports[0];
        return first == Walk::sound ? Walk::read_failed : first;
    };
    if (!reader.open(path)) return failed();
    if (reader.position() != PATCH_FILE_HEADER_SIZE || reader.header().version > PATCH_VERSION)
        std::abort();
    while (!reader.at_end()) {
        const uint64_t start = reader.position();
        PATCH_COMPONENT_HEADER component;
        if (!reader.next_component(component)) return failed();
        if (reader.position() != start + patch_component_header_size(reader.header().version) ||
            reader.remaining() != component.length)
            std::abort();
        // Both mappings of a stored path must stay inside it and give a path of the tree.
        for (bool option_248 : {false, true}) {
            const std::string mapped = patch_map_path(component.path, option_248);
            if (!inside_tree(mapped)) std::abort();
            if (!option_248 && (mapped.empty() || patch_path_problem(mapped)))
                first = Walk::path_refused;
        }
        uint64_t delivered = 0;
        while (reader.remaining() > 0) {
            const uint32_t before = reader.remaining();
            const uint64_t at = reader.position();
            const uint8_t *data = nullptr;
            uint32_t length = 0;
            if (!reader.next_block(&data, &length)) return failed();
            if (!data || length == 0 || length > PATCH_BLOCK_SIZE || length > before ||
                reader.remaining() != before - length ||
                reader.block_header().stored_length > PATCH_BLOCK_SIZE ||
                reader.position() !=
                    at + PATCH_BUFFER_HEADER_SIZE + reader.block_header().stored_length)
                std::abort();
            // Touch every byte handed out, so that a short buffer shows.
            volatile uint8_t sum = 0;
            for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + data[i]);
            delivered += length;
        }
        if (delivered != component.length) std::abort();
    }
    if (reader.position() != reader.length()) std::abort();
    return first;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Workspace &space = workspace();
    space.write(data, size);

    std::string walk_report;
    const Walk walked = walk(space.patch_dos, walk_report);

    reports.clear();
    const bool verified = patch_process(space.patch_dos, PatchMode::verify, nullptr, false);
    // Sound exactly when nothing was reported; a failure is one report, never silence.
    if (verified != reports.empty() || reports.size() > 1) std::abort();
    if (!verified && reports[0].empty()) std::abort();
    switch (walked) {
    case Walk::sound:
        if (!verified) std::abort();
        break;
    case Walk::read_failed:
        if (verified || reports[0] != walk_report) std::abort();
        break;
    case Walk::path_refused:
        // The verifier stops at the first path it refuses, before that component's blocks.
        if (verified || reports[0].rfind("Unable to apply patch - the path", 0) != 0) std::abort();
        break;
    }
    return 0;
}
