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
#include "patch/interrupt.h"
#include "patch/log.h"
#include "patch/parts.h"
#include "patch/reader.h"
#include "patch/revision.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

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

// Hands the rest of the reader's current component over block by block, moving the progress
// bar; false once a block or `deliver` fails (reported).
template <typename Deliver>
bool each_block(PatchReader &reader, TXP_PROG_T *prog, Deliver deliver) {
    while (reader.remaining() > 0) {
        fxp_prog_percent(prog, fxp_prog_ratio64(reader.position(), reader.length()));
        const uint8_t *data;
        uint32_t length;
        if (!reader.next_block(&data, &length)) return patch_report_read_error(reader);
        if (!deliver(data, length)) return false;
    }
    return true;
}

bool refuse(const char *format, const std::string &path) {
    std::string text;
    fxd_fmt_assign(text, format, path.c_str());
    return patch_report(text.c_str());
}

bool refuse_outside(const std::string &path) {
    return refuse("Unable to apply patch - the path '%str%' would be written outside the release "
                  "directory",
                  path);
}

// One component as the patch stores it.
struct Entry {
    uint64_t offset = 0; // of its component header
    std::string stored;
    uint32_t length = 0;
    TXD_CLOCK stamp{};
};

// The entries of the patch verified last, so that extracting it into each tree does not walk
// and expand it again. Extraction still checks every block it writes.
struct Scan {
    std::string path;
    uint64_t length = 0;
    std::vector<Entry> entries;
};
Scan verified_scan;

// Verification: every block expanded, every stored path checked against the rules that
// extraction and the file layer apply.
class Verifier {
public:
    explicit Verifier(const char *patch_path) : patch_path_(patch_path), progress_(patch_path) {}

    bool run() {
        // An add killed half way leaves the patch to be put back as it was before that add.
        if (!patch_recover(patch_path_)) return false;
        if (!reader_.open(patch_path_)) return patch_report_read_error(reader_);
        const PATCH_FILE_HEADER &header = reader_.header();
        fxd_fmt_assign(description_,
                       "This update was created on %date2%,5 at %time%,1 by %str%.\r\n\r\n"
                       "The update procedure will verify which drive you wish to install the "
                       "patch onto and ensure that you have sufficient privileges and that "
                       "there are no users still in the KOVA system.\r\n\r\n"
                       "It will then install the following files onto your system:\r\n",
                       &header.created_date, &header.created_time, header.creator);
        Scan scan{patch_path_, reader_.length(), {}};
        while (!reader_.at_end()) {
            Entry entry;
            entry.offset = reader_.position();
            PATCH_COMPONENT_HEADER component;
            if (!reader_.next_component(component)) return patch_report_read_error(reader_);
            std::string mapped = patch_map_path(component.path, fxi_option(248));
            if (mapped.empty()) return refuse_outside(component.path);
            if (const char *problem = patch_path_problem(mapped)) {
                std::string text;
                fxd_fmt_assign(text, "Unable to apply patch - the path '%str%' %str%",
                               component.path, problem);
                return patch_report(text.c_str());
            }
            fxp_prog_linef(&progress_.prog, "Verifying %str%", mapped.c_str());
            fxd_fmt_append(description_, "\r\n\t%str%", mapped.c_str());
            if (!each_block(reader_, &progress_.prog,
                            [](const uint8_t *, uint32_t) { return true; }))
                return false;
            entry.stored = component.path;
            entry.length = component.length;
            entry.stamp = component.stamp;
            scan.entries.push_back(std::move(entry));
        }
        verified_scan = std::move(scan);
        if (!patch_interactive()) return true;
        fxp_prog_close(&progress_.prog);
        if (fxp_msg_ask(nullptr, description_.c_str(), "Do you wish to install this patch?", 'N') ==
            'Y')
            return true;
        fxp_msg_info("Installation cancelled");
        return false;
    }

private:
    const char *patch_path_;
    ProgressWindow progress_;
    PatchReader reader_;
    std::string description_;
};

// The folder part of a DOS path, with its backslash; empty at a drive's root.
std::string parent_of(const std::string &path) {
    size_t end = path.size() > 1 && path.back() == '\\' ? path.size() - 1 : path.size();
    size_t slash = path.find_last_of('\\', end - 1);
    if (slash == std::string::npos || slash < 3) return {};
    return path.substr(0, slash + 1);
}

bool path_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A place, after every link on the way, with a closing backslash for prefix tests.
std::string final_folder(const std::string &path) {
    std::string final = fxi_final_path(path.c_str());
    if (!final.empty() && final.back() != '\\') final += '\\';
    return final;
}

// Whether `path`, through whatever links lie on its way, stays inside `root_final` (a
// final_folder): tested on the deepest part of it that exists, since the rest is made anew.
bool stays_below(const std::string &path, const std::string &root_final) {
    if (root_final.empty()) return false;
    std::string probe = path;
    while (!probe.empty() && !path_exists(probe)) probe = parent_of(probe);
    if (probe.empty()) return false;
    std::string final = final_folder(probe);
    return !final.empty() && fxd_prefix_nocase(final.c_str(), root_final.c_str()) == 0;
}

// The name every component is written under first, in its own folder, so that a rename puts
// it in place whole. One run writes one component at a time, and an installation runs one
// install at a time, so a file of this name found in a folder is left from a killed run.
constexpr const char *temporary_name = "~kvpatch.tmp";

// A file removed when it goes unless kept.
struct TemporaryFile {
    std::string path;
    bool kept = false;
    ~TemporaryFile() {
        if (!kept && !path.empty() && fxi_test_file(path.c_str()))
            (void)fxi_delete_file(path.c_str()); // only litter is lost
    }
};

// Removes the folders a run created, innermost first, each only when it is empty but for a
// temporary file a killed run may have left there.
void remove_folders(const std::vector<std::string> &folders) {
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        std::string litter = *it + temporary_name;
        if (fxi_test_file(litter.c_str())) (void)fxi_delete_file(litter.c_str()); // ours
        RemoveDirectoryA(it->c_str()); // a folder that holds anything else stays
    }
}

// Where a component goes and what is there now.
struct Placement {
    const Entry *entry = nullptr;
    std::string mapped; // below the tree: the undo patch stores it so
    std::string target;
    bool exists = false;
    bool superseded = false; // a later entry of the patch writes the same target
};

class Extractor {
public:
    Extractor(const char *patch_path, const PatchExtractOptions &options)
        : patch_path_(patch_path), options_(options), progress_(patch_path) {}

    bool run() {
        // An undo patch whose save was cut off by a kill reads as it did before that save.
        if (!patch_recover(patch_path_)) return false;
        if (!reader_.open(patch_path_)) return patch_report_read_error(reader_);
        release_dir_ = fxi_program_dir();
        if (!entries() || !plan()) return false;
        if (options_.undo_path && !begin_undo()) return false;
        for (Placement &place : places_) {
            if (place.superseded) continue;
            if (interrupted()) return roll_back(report_interruption());
            if (!apply(place)) return roll_back(false);
        }
        // An interruption during the last component puts the tree back as during any other,
        // rather than finishing it behind the operator's back.
        if (interrupted()) return roll_back(report_interruption());
        if (options_.undoing && !remove_added()) return roll_back(false);
        if (options_.rolling_back) return true;
        const PATCH_FILE_HEADER &header = reader_.header();
        patch_log("Patch %str% created on %date2%,2 at %time%,1 by %str% was installed",
                  patch_split(patch_path_).name_ext.c_str(), &header.created_date,
                  &header.created_time, header.creator);
        if (options_.first_tree) {
            std::string program =
                release_dir_ + setup_program(release_dir_.c_str(), fxi_release()) + ".exe";
            if (fxi_test_file(program.c_str())) fxi_run_command((program + " /q").c_str(), 1, 2);
        }
        return true;
    }

private:
    // The patch's entries: from its verification when that read this very file, else read
    // and checked here.
    bool entries() {
        if (verified_scan.path == patch_path_ && verified_scan.length == reader_.length()) {
            entries_ = &verified_scan.entries;
            return true;
        }
        while (!reader_.at_end()) {
            Entry entry;
            entry.offset = reader_.position();
            PATCH_COMPONENT_HEADER component;
            if (!reader_.next_component(component) || !reader_.skip_component())
                return patch_report_read_error(reader_);
            entry.stored = component.path;
            entry.length = component.length;
            entry.stamp = component.stamp;
            own_entries_.push_back(std::move(entry));
        }
        entries_ = &own_entries_;
        return true;
    }

    // Works out every target and refuses the patch, before anything is written, for a path
    // the tree cannot take, a link leading out of the tree, or a revision rule.
    bool plan() {
        std::string tree_final = final_folder(release_dir_);
        std::string home_final = final_folder(fxi_data_home());
        bool undo = reader_.is_undo();
        for (const Entry &entry : *entries_) {
            Placement place;
            place.entry = &entry;
            place.mapped = patch_map_path(entry.stored.c_str(), fxi_option(248));
            if (place.mapped.empty()) return refuse_outside(entry.stored);
            if (const char *problem = patch_path_problem(place.mapped)) {
                std::string text;
                fxd_fmt_assign(text, "Unable to apply patch - the path '%str%' %str%",
                               entry.stored.c_str(), problem);
                return patch_report(text.c_str());
            }
            place.target = release_dir_ + place.mapped;
            bool parameters = patch_extension_family(patch_split(place.target.c_str()).ext, "kvc");
            if (parameters) place.target = parameter_file_target(place.target);
            std::string temporary = parent_of(place.target) + temporary_name;
            if (std::max(place.target.size(), temporary.size()) >= MAX_PATH) {
                std::string text;
                fxd_fmt_assign(text,
                               "Unable to apply patch - the path '%str%' is longer than %str% "
                               "characters",
                               place.target.c_str(), std::to_string(MAX_PATH - 1).c_str());
                return patch_report(text.c_str());
            }
            if (!stays_below(place.target, parameters ? home_final : tree_final))
                return refuse_outside(place.target);
            place.exists = fxi_test_file(place.target.c_str());
            // Of several entries for one target only the last is written: it is what a
            // writer of the patch added last.
            for (Placement &earlier : places_)
                if (!earlier.superseded &&
                    fxd_prefix_nocase(earlier.target.c_str(), place.target.c_str()) == 0 &&
                    earlier.target.size() == place.target.size())
                    earlier.superseded = true;
            if (options_.only && std::find(options_.only->begin(), options_.only->end(),
                                           place.target) == options_.only->end())
                place.superseded = true;
            places_.push_back(std::move(place));
        }
        if (options_.rolling_back) return true;
        for (const Placement &place : places_) {
            if (place.superseded) continue;
            PatchRevisionQuery query;
            query.stamp = place.entry->stamp;
            query.installed = place.exists;
            TXI_FILE existing(place.target.c_str());
            query.installed_dated = place.exists && existing.get_time(&query.installed_stamp) == 0;
            query.undo = undo;
            query.version = reader_.header().version;
            query.extension = patch_split(place.target.c_str()).ext;
            PatchRevision revision = patch_revision(query);
            if (revision == PatchRevision::refused_earlier)
                return refuse("Unable to apply patch - the existing copy of '%str%' on your "
                              "system is an earlier revision",
                              place.target);
            if (revision == PatchRevision::refused_later)
                return refuse("Unable to apply patch - the existing copy of '%str%' on your "
                              "system is a later revision",
                              place.target);
        }
        return true;
    }

    // The undo patch and its record exist, empty, before the first change: an undo patch of
    // a tree where the patch only added files is what takes them away again.
    bool begin_undo() {
        std::string undo = options_.undo_path;
        std::string folder = parent_of(undo);
        if (!stays_below(undo, final_folder(release_dir_))) return refuse_outside(undo);
        if (!folder.empty() && !fxi_dir_exists(folder.c_str())) {
            if (fxi_dir_make_all(folder.c_str()) != 0)
                return refuse("Error creating folder %str%", folder);
            undo_folder_made_ = folder;
        }
        if (!patch_create_file(undo.c_str(), true)) return false;
        undo_created_ = true;
        std::vector<PatchUndoTree> trees = options_.trees;
        if (trees.empty()) trees.push_back({release_dir_, undo});
        if (!record_.create(undo, options_.run.empty() ? patch_undo_run_id() : options_.run, trees))
            return patch_file_error("writing", record_.file());
        patch_log("Installing %str% into %str%; the copies it replaces are kept in %str%",
                  patch_split(patch_path_).name_ext.c_str(), release_dir_.c_str(), undo.c_str());
        return true;
    }

    // Creates the target's missing folders, each noted in the record before it exists.
    bool make_folders(const std::string &folder) {
        if (folder.empty() || fxi_dir_exists(folder.c_str())) return true;
        if (!make_folders(parent_of(folder))) return false;
        if (options_.undo_path && !record_.note_folder(folder))
            return patch_file_error("writing", record_.file());
        if (!CreateDirectoryA(folder.c_str(), nullptr) && !fxi_dir_exists(folder.c_str()))
            return refuse("Error creating folder %str%", folder);
        created_folders_.push_back(folder);
        return true;
    }

    bool apply(const Placement &place) {
        const std::string &target = place.target;
        fxp_prog_linef(&progress_.prog, "Extracting %str%", target.c_str());
        std::string folder = parent_of(target);
        if (!make_folders(folder)) return false;

        TemporaryFile temporary{folder + temporary_name};
        TXI_FILE output(temporary.path.c_str());
        // One left by a killed run goes first; a temporary name has nothing worth keeping.
        if (output.exists() && output.remove()) return patch_file_error("deleting", output);
        if (output.create()) return patch_file_error("creating", output);
        PATCH_COMPONENT_HEADER component;
        if (!reader_.component_at(place.entry->offset, component))
            return patch_report_read_error(reader_);
        // The flush below must not find the whole of a large component still to write.
        output.set_write_behind(1);
        bool written =
            each_block(reader_, &progress_.prog, [&](const uint8_t *data, uint32_t length) {
                return output.write(data, length) == 0 || patch_file_error("writing", output);
            });
        if (!written) return false;
        if (output.flush()) return patch_file_error("writing", output);
        if (reader_.header().version == 2 && output.set_time(&component.stamp))
            return patch_file_error("setting time/date stamp on", output);
        if (output.close()) return patch_file_error("writing", output);

        bool replacing = place.exists || fxi_test_file(target.c_str());
        if (replacing) {
            // The installed copy is only replaced once the undo patch holds it on disk:
            // without it the copy could not be put back.
            if (options_.undo_path &&
                !patch_append_component(options_.undo_path, target.c_str(), place.mapped.c_str(),
                                        {.undo = true, .durable = true}))
                return false;
            TXI_FILE existing(target.c_str());
            uint16_t attributes = 0;
            if (existing.get_attributes(&attributes) == 0 && (attributes & DXI_ATTR_READONLY) &&
                existing.set_attributes(attributes & ~DXI_ATTR_READONLY))
                return patch_file_error("updating", existing);
        } else if (options_.undo_path && !record_.note_added(target)) {
            return patch_file_error("writing", record_.file());
        }
        if (uint16_t code = fxi_replace_file(temporary.path.c_str(), target.c_str())) {
            std::string text;
            fxd_fmt_assign(text, "Error replacing file %str% - %str%", target.c_str(),
                           fxk_error_text(code, &EXI_FILE));
            return patch_report(text.c_str());
        }
        temporary.kept = true;
        (replacing ? replaced_ : added_).push_back(target);

        PatchPathParts parts = patch_split(target.c_str());
        if (patch_extension_is(parts.ext, "kve") || patch_extension_is(parts.ext, "kvm"))
            patch_menu_rebuild = true;
        if (patch_extension_is(parts.ext, "kvx")) patch_table_rebuild = true;
        return true;
    }

    // Installing an undo patch: the components its run added go (each saved first, so the
    // undo can itself be undone), then the folders that run created, when empty.
    bool remove_added() {
        for (const std::string &target : options_.undoing->added) {
            if (!fxi_test_file(target.c_str())) continue;
            std::string mapped = target.substr(0, release_dir_.size()) == release_dir_
                                     ? target.substr(release_dir_.size())
                                     : patch_split(target.c_str()).name_ext;
            if (options_.undo_path &&
                !patch_append_component(options_.undo_path, target.c_str(), mapped.c_str(),
                                        {.undo = true, .durable = true}))
                return false;
            TXI_FILE file(target.c_str());
            uint16_t attributes = 0;
            if (file.get_attributes(&attributes) == 0 && (attributes & DXI_ATTR_READONLY))
                (void)file.set_attributes(attributes & ~DXI_ATTR_READONLY); // remove says why
            if (file.remove()) return patch_file_error("deleting", file);
        }
        remove_folders(options_.undoing->folders);
        return true;
    }

    // The operator asked to stop; a roll-back itself always runs to its end.
    bool interrupted() const { return !options_.rolling_back && patch_interrupted(); }
    static bool report_interruption() {
        return patch_report(
            "Installation interrupted - the components already replaced are being put back");
    }

    // Puts the tree back as it was before this extraction began; answers false, the result
    // of the failed run.
    bool roll_back(bool) {
        if (!undo_created_) return false;
        bool restored = true;
        if (!replaced_.empty()) {
            PatchExtractOptions back;
            back.rolling_back = true;
            back.only = &replaced_;
            restored = patch_extract(options_.undo_path, back);
        }
        // What the patch added goes; nothing of the tree's own was there to lose.
        for (const std::string &target : added_) (void)fxi_delete_file(target.c_str());
        remove_folders(created_folders_);
        if (!restored) {
            patch_log("Installation into %str% failed and could not be rolled back - install "
                      "%str% to put back the components it replaced",
                      release_dir_.c_str(), options_.undo_path);
            return false;
        }
        record_.close();
        (void)fxi_delete_file(options_.undo_path); // describes a change that is gone again
        (void)fxi_delete_file(patch_undo_record_path(options_.undo_path).c_str());
        if (!undo_folder_made_.empty()) RemoveDirectoryA(undo_folder_made_.c_str()); // if empty
        patch_log("Installation into %str% failed - every component there is as it was",
                  release_dir_.c_str());
        return false;
    }

    const char *patch_path_;
    const PatchExtractOptions &options_;
    ProgressWindow progress_;
    PatchReader reader_;
    std::string release_dir_;
    std::vector<Entry> own_entries_;
    const std::vector<Entry> *entries_ = nullptr;
    std::vector<Placement> places_;
    PatchUndoRecordWriter record_;
    bool undo_created_ = false;
    std::string undo_folder_made_; // by this run, for the undo patch
    std::vector<std::string> replaced_, added_, created_folders_;
};

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

const char *patch_path_problem(const std::string &path) {
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT"};
    size_t start = 0;
    for (;;) {
        size_t end = std::min(path.find('\\', start), path.size());
        std::string part = path.substr(start, end - start);
        for (unsigned char c : part)
            if (c < 0x20 || std::strchr("*?<>\"|", c))
                return "holds a character that a file name cannot hold";
        if (part.size() > 255) return "has a name longer than 255 characters";
        if (!part.empty() && (part.back() == '.' || part.back() == ' '))
            return "has a name ending in a dot or a blank";
        std::string base = part.substr(0, part.find('.'));
        for (const char *device : devices) {
            size_t n = std::strlen(device);
            bool numbered =
                n == 3 && (std::strcmp(device, "COM") == 0 || std::strcmp(device, "LPT") == 0);
            if (fxd_prefix_nocase(base.c_str(), device) != 0) continue;
            if (base.size() == n && !numbered) return "names a device";
            if (numbered && base.size() == n + 1 && base[n] >= '1' && base[n] <= '9')
                return "names a device";
        }
        if (end >= path.size()) return nullptr;
        start = end + 1;
    }
}

bool patch_process(const char *patch_path, PatchMode mode, const char *undo_path, bool first_tree) {
    if (mode == PatchMode::verify) return Verifier(patch_path).run();
    PatchExtractOptions options;
    options.undo_path = undo_path;
    options.first_tree = first_tree;
    return patch_extract(patch_path, options);
}

bool patch_extract(const char *patch_path, const PatchExtractOptions &options) {
    return Extractor(patch_path, options).run();
}

std::string patch_component_target(const std::string &release_dir, const std::string &mapped) {
    std::string target = release_dir + mapped;
    if (patch_extension_family(patch_split(target.c_str()).ext, "kvc"))
        return parameter_file_target(target);
    return target;
}
