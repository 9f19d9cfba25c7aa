// Verifying and extracting patches: the reading loop over header, components and blocks,
// the mapping of stored paths into a release tree, the revision rules and the undo patch.
#include "patch/process.h"

#include "kernel/coord/svc.h"
#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/text/dates.h"
#include "kernel/text/text.h"
#include "kernel/ui/box.h"
#include "kernel/ui/prog.h"
#include "patch/build.h"
#include "patch/entry.h"
#include "patch/format.h"
#include "patch/log.h"
#include "patch/parts.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

bool patch_menu_rebuild = false;
bool patch_table_rebuild = false;

namespace {

constexpr const char *release_directories[] = {"\\kova7\\", "\\kova2000\\", "\\kova2004\\",
                                               "\\kova2006\\", "\\KOVABrisel\\"};

// A stored path is safe when every component names something inside the tree.
bool stays_inside(const std::string &path) {
    if (path.empty() || path.find_first_of(":/") != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part == "..") return false;
        if (end == std::string::npos) return !part.empty();
        start = end + 1;
    }
}

// The setup program of the release in `release_dir`.
const char *setup_program(const char *release_dir, uint8_t level) {
    if (fxd_find_nocase("\\KOVABrisel\\", release_dir)) {
        if (level >= 22) return "v16setup";
        if (level >= 20) return "v14setup";
        if (level == 19) return "v13setup";
        if (level == 18) return "v12setup";
        return "v11setup";
    }
    if (fxd_find_nocase("\\kova2006\\", release_dir)) return "v10setup";
    if (fxd_find_nocase("\\kova2004\\", release_dir)) return "kvsetup";
    return "setup";
}

// Module parameter files (kvc) live in the data home, by the module's code.
std::string parameter_file_target(const std::string &target) {
    std::string module = patch_split(target.c_str()).name.substr(0, 3);
    std::string result = fxi_data_home();
    if (fxi_option(248)) {
        result += "data\\" + module + "\\";
        if (fxi_release() > 18 && fxi_dir_exists((result + "parameters\\").c_str()))
            result += "parameters\\";
        fxd_string_lower(module);
        return result + module + ".kvc";
    }
    return result + "kv7tparm." + module;
}

// One open progress window, closed however processing ends.
struct ProgressWindow {
    TXP_PROG_T prog;
    explicit ProgressWindow(const char *patch_path) {
        std::string title;
        fxd_fmt_assign(title, "Processing %str%", patch_path);
        fxp_prog_init(&prog);
        fxp_prog_open(&prog, nullptr, title.c_str(), DXP_PROG_AUTO_WIDTH, DXP_PROG_STATUS);
    }
    ~ProgressWindow() { fxp_prog_close(&prog); }
};

class Processor {
public:
    Processor(const char *patch_path, PatchMode mode, const char *undo_path)
        : patch_path_(patch_path), mode_(mode), undo_path_(undo_path ? undo_path : ""),
          progress_(patch_path) {}

    bool run(bool first_tree);

private:
    bool extract() const { return mode_ == PatchMode::extract; }
    bool read_header();
    bool process_component();
    bool prepare_target(const std::string &target, const PATCH_COMPONENT_HEADER &component);
    bool refuse(const char *format, const std::string &target) {
        std::string text;
        fxd_fmt_assign(text, format, target.c_str());
        return patch_report(text.c_str());
    }

    const char *patch_path_;
    PatchMode mode_;
    std::string undo_path_;
    ProgressWindow progress_;
    TXI_FILE patch_;
    PATCH_FILE_HEADER header_;
    uint64_t length_ = 0, consumed_ = 0;
    std::string description_;
    std::unique_ptr<uint8_t[]> stored_, expanded_;
    std::string release_dir_;
};

bool Processor::read_header() {
    patch_.set_name(patch_path_);
    if (patch_.open(DXI_FILE_READ)) return patch_file_error("opening", patch_);
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    if (patch_.read(bytes, sizeof bytes)) return patch_file_error("reading", patch_);
    patch_decode_file_header(bytes, header_);
    if (header_.magic != PATCH_FILE_MAGIC) return patch_report("Invalid Patch File");
    if (header_.version > PATCH_VERSION) return patch_report("Incompatible Patch File");
    return true;
}

bool Processor::run(bool first_tree) {
    if (!read_header()) return false;
    if (!extract()) {
        fxd_fmt_assign(description_,
                       "This update was created on %date2%,5 at %time%,1 by %str%.\r\n\r\n"
                       "The update procedure will verify which drive you wish to install the "
                       "patch onto and ensure that you have sufficient privileges and that there "
                       "are no users still in the KOVA system.\r\n\r\n"
                       "It will then install the following files onto your system:\r\n",
                       &header_.created_date, &header_.created_time, header_.creator);
    }
    if (patch_.length(&length_)) return patch_file_error("getting length of", patch_);
    stored_.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
    expanded_.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
    if (!stored_ || !expanded_) return patch_report("Insufficient Memory");
    release_dir_ = fxi_program_dir();

    consumed_ = PATCH_FILE_HEADER_SIZE;
    while (consumed_ < length_)
        if (!process_component()) return false;
    stored_.reset();
    expanded_.reset();

    if (!extract()) {
        if (!patch_interactive()) return true;
        fxp_prog_close(&progress_.prog);
        if (fxp_msg_ask(nullptr, description_.c_str(), "Do you wish to install this patch?", 'N') ==
            'Y')
            return true;
        fxp_msg_info("Installation cancelled");
        return false;
    }
    patch_log("Patch %str% created on %date2%,2 at %time%,1 by %str% was installed",
              patch_split(patch_path_).name_ext.c_str(), &header_.created_date,
              &header_.created_time, header_.creator);
    if (first_tree) {
        std::string program =
            release_dir_ + setup_program(release_dir_.c_str(), fxi_release()) + ".exe";
        if (fxi_test_file(program.c_str())) fxi_run_command((program + " /q").c_str(), 1, 2);
    }
    return true;
}

bool Processor::process_component() {
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    size_t header_size = patch_component_header_size(header_.version);
    if (patch_.read(bytes, static_cast<uint32_t>(header_size)))
        return patch_file_error("reading", patch_);
    consumed_ += header_size;
    PATCH_COMPONENT_HEADER component;
    patch_decode_component_header(bytes, header_.version, component);
    if (component.magic != PATCH_COMPONENT_MAGIC) return patch_report("Invalid File Header");

    std::string mapped = patch_map_path(component.path, fxi_option(248));
    if (mapped.empty()) {
        return refuse("Unable to apply patch - the path '%str%' would be written outside the "
                      "release directory",
                      component.path);
    }
    std::string target = extract() ? release_dir_ + mapped : mapped;
    fxp_prog_linef(&progress_.prog, "%str%ing %str%", extract() ? "Extract" : "Verify",
                   target.c_str());
    if (!extract()) fxd_fmt_append(description_, "\r\n\t%str%", target.c_str());

    TXI_FILE output;
    if (extract()) {
        if (patch_extension_family(patch_split(target.c_str()).ext, "kvc"))
            target = parameter_file_target(target);
        if (!prepare_target(target, component)) return false;
        output.set_name(target.c_str());
        if (output.create()) return patch_file_error("creating", output);
    }

    for (uint64_t expanded = 0; expanded < component.length;) {
        fxp_prog_percent(&progress_.prog, fxp_prog_ratio64(consumed_, length_));
        uint8_t block[PATCH_BUFFER_HEADER_SIZE];
        if (patch_.read(block, sizeof block)) return patch_file_error("reading", patch_);
        PATCH_BUFFER_HEADER buffer;
        patch_decode_buffer_header(block, buffer);
        // A stored length beyond the block size cannot come from a sound writer.
        if (buffer.magic != PATCH_BUFFER_MAGIC || buffer.stored_length > PATCH_BLOCK_SIZE)
            return patch_report("Invalid Buffer Header");
        if (patch_.read(stored_.get(), buffer.stored_length))
            return patch_file_error("reading", patch_);
        consumed_ += PATCH_BUFFER_HEADER_SIZE + buffer.stored_length;
        uint32_t produced = 0;
        if (!patch_expand_block(buffer, stored_.get(), expanded_.get(), &produced))
            return patch_report("Error Decompressing File");
        if (extract() && output.write(expanded_.get(), produced))
            return patch_file_error("writing", output);
        expanded += produced;
    }

    if (extract() && header_.version == 2 && output.set_time(&component.stamp))
        return patch_file_error("setting time/date stamp on", output);
    return true;
}

// Makes room for the component: refuses a revision older than the installed one, saves the
// installed copy into the undo patch and removes it; notes the rebuilds the component needs.
bool Processor::prepare_target(const std::string &target, const PATCH_COMPONENT_HEADER &component) {
    PatchPathParts parts = patch_split(target.c_str());
    TXI_FILE existing(target.c_str());
    if (existing.exists()) {
        TXD_CLOCK installed;
        if (!patch_extension_is(parts.ext, "dll") && header_.version != 1 &&
            existing.get_time(&installed) == 0) {
            int order = fxd_clock_compare(&component.stamp, &installed);
            bool undo = header_.flags & PATCH_FLAG_UNDO;
            if (undo && order > 0)
                return refuse("Unable to apply patch - the existing copy of '%str%' on your "
                              "system is an earlier revision",
                              target);
            if (!undo && order < 0)
                return refuse("Unable to apply patch - the existing copy of '%str%' on your "
                              "system is a later revision",
                              target);
        }
        // The installed copy is only removed once the undo patch holds it on disk: without
        // it the copy could not be put back, so a failed save stops the installation here.
        if (!patch_add_file(nullptr, undo_path_.c_str(), target.c_str(), true, true, false, false))
            return false;
        uint16_t attributes = 0;
        if (existing.get_attributes(&attributes) == 0 && (attributes & DXI_ATTR_READONLY))
            existing.set_attributes(attributes & ~DXI_ATTR_READONLY);
        // A copy that cannot be removed (immutable, no access) is reported with the platform's
        // reason, which the file layer's "Unable to Delete File" does not give.
        if (existing.remove()) {
            DWORD reason = GetLastError();
            std::string text;
            fxd_fmt_assign(text, "Error deleting file %str% - %str%", target.c_str(),
                           reason ? fxk_error_text(fxi_map_file_error(reason), &EXI_FILE)
                                  : existing.error_text());
            return patch_report(text.c_str());
        }
    }
    if (patch_extension_is(parts.ext, "kve") || patch_extension_is(parts.ext, "kvm"))
        patch_menu_rebuild = true;
    if (patch_extension_is(parts.ext, "kvx")) patch_table_rebuild = true;
    std::string dir = parts.drive + parts.dir;
    if (!dir.empty() && !fxi_dir_exists(dir.c_str())) fxi_dir_make_all(dir.c_str());
    return true;
}

} // namespace

std::string patch_map_path(const char *stored, bool option_248) {
    std::string path = stored;
    if (path.rfind("\\\\", 0) == 0) return {}; // UNC
    for (const char *release : release_directories) {
        if (fxd_prefix_nocase(path.c_str(), release) == 0) {
            path.erase(0, std::strlen(release));
            break;
        }
    }
    if (option_248) {
        size_t at = path.find("\\overlays\\kv8");
        if (at != std::string::npos && at >= 3) path.replace(at + 10, 3, path.substr(at - 3, 3));
    }
    // A path outside every release directory is taken as relative to the tree.
    path.erase(0, path.find_first_not_of('\\') == std::string::npos ? path.size()
                                                                    : path.find_first_not_of('\\'));
    return stays_inside(path) ? path : std::string();
}

bool patch_process(const char *patch_path, PatchMode mode, const char *undo_path, bool first_tree) {
    return Processor(patch_path, mode, undo_path).run(first_tree);
}
