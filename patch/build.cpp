// Building patches: the components a file name stands for (overlays and menus of the
// development source tree, the kernel libraries, release-neutral install paths), and adding
// them to a patch all or nothing, their blocks compressed on every core.
#include "patch/build.h"

#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "kernel/text/dates.h"
#include "kernel/text/text.h"
#include "kernel/ui/prog.h"
#include "patch/format.h"
#include "patch/log.h"
#include "patch/ordered_work.h"
#include "patch/parts.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// ---- Components -----------------------------------------------------------------------------

// The kernel's client and resource libraries, which every patch of overlays carries first.
constexpr const char *kernel_libraries[] = {
    "\\kova2000\\kovafm.dll",
    "\\kova2000\\kovares.dll",
    "\\kova2000\\kovafm64.dll",
    "\\kova2000\\kovars64.dll",
};

// A source folder of this many characters or more cannot be named through the system's file
// functions and its path no longer splits into parts: the component would be stored under an
// empty or cut path, so it is refused.
constexpr size_t source_folder_limit = 260;

bool is_kernel_library(const char *file) {
    for (const char *library : kernel_libraries)
        if (std::strcmp(file, library) == 0) return true;
    return false;
}

bool same_path(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           fxd_compare_nocase(a.c_str(), b.c_str(), static_cast<uint16_t>(a.size())) == 0;
}

// Install directories are stored release-neutral, so one patch serves every release tree.
std::string neutral_directory(const std::string &dir) {
    for (const char *release : {"\\KOVABrisel\\", "\\kova2004\\", "\\kova2006\\"})
        if (fxd_prefix_nocase(dir.c_str(), release) == 0)
            return "\\kova2000\\" + dir.substr(std::strlen(release));
    return dir;
}

// One component of an add: the file whose bytes are stored and the path it installs under.
struct Component {
    std::string source;
    std::string stored_path;
};

// The stored path of `source`, installed into `install_dir` for the name `given` as the caller
// wrote it: kvk and kvc components carry no folder (installation places them by rule), and
// overlays carry the module-neutral name kv8..., which installation maps back.
std::string stored_path_of(const PatchPathParts &given, const std::string &source,
                           const std::string &install_dir) {
    std::string path;
    if (!patch_extension_family(given.ext, "kvk") && !patch_extension_family(given.ext, "kvc"))
        path = neutral_directory(install_dir);
    std::string name = patch_split(source.c_str()).name_ext;
    if (patch_extension_family(given.ext, "kvo") && !name.empty())
        name.replace(0, std::min<size_t>(3, name.size()), "kv8");
    return path + name;
}

void add_plain(const char *file, std::vector<Component> &out) {
    PatchPathParts given = patch_split(file);
    out.push_back({file, stored_path_of(given, file, given.dir)});
}

// The components `file` stands for, in the order they are added. x:name.kvo, x:name.kvm and
// x:name.kve pick built files of the development source tree on drive x; any other name is
// the component itself. `new_patch` is true when the patch holds nothing yet.
std::vector<Component> components_of(const char *file, bool direct_path, bool new_patch) {
    std::vector<Component> list;
    PatchPathParts given = patch_split(file);
    bool overlay = patch_extension_family(given.ext, "kvo");
    if (!direct_path && new_patch && overlay) {
        for (const char *library : kernel_libraries) add_plain(library, list);
    } else if (!new_patch && is_kernel_library(file)) {
        return list; // an existing patch carries the libraries already
    }

    bool menu = patch_extension_family(given.ext, "kvm");
    if (given.drive.empty() || !given.dir.empty() ||
        !(overlay || menu || patch_extension_family(given.ext, "kve"))) {
        add_plain(file, list);
        return list;
    }
    std::string module = given.name.substr(0, 3);
    std::string tree = given.drive + "\\source\\kova." + module + "\\8\\";
    if (overlay) {
        // Build variant '6' goes along when it was built; then '3', or else 'w'.
        auto variant = [&](char which) {
            std::string name = given.name;
            if (name.size() >= 4) name[3] = which;
            return tree + given.name_ext + "\\" + name + ".exe";
        };
        std::string install_dir = "\\kova2000\\" + module + "\\overlays\\";
        if (fxi_test_file(variant('6').c_str()))
            list.push_back({variant('6'), stored_path_of(given, variant('6'), install_dir)});
        std::string chosen = fxi_test_file(variant('3').c_str()) ? variant('3') : variant('w');
        list.push_back({chosen, stored_path_of(given, chosen, install_dir)});
        return list;
    }
    // A menu's executable goes ahead of the menu.
    std::string install_dir = "\\kova2000\\" + module + "\\menus\\";
    std::string menu_folder = tree + given.name + ".kvm\\";
    if (menu) {
        PatchPathParts executable = patch_split((given.drive + given.name + ".kve").c_str());
        std::string source = menu_folder + executable.name_ext;
        list.push_back({source, stored_path_of(executable, source, install_dir)});
    }
    std::string source = menu_folder + given.name_ext;
    list.push_back({source, stored_path_of(given, source, install_dir)});
    return list;
}

bool refuse(const char *format, const std::string &file, size_t limit = 0) {
    std::string text;
    fxd_fmt_assign(text, format, file.c_str(), std::to_string(limit).c_str());
    return patch_report(text.c_str());
}

// Refuses, before anything is written, a component that the format or the file system cannot
// carry; no entry is ever stored under an empty or cut path.
bool check_component(const Component &component) {
    size_t separator = component.source.find_last_of("\\:");
    size_t folder = separator == std::string::npos ? 0 : separator;
    if (folder >= source_folder_limit)
        return refuse("Unable to add %str% - its folder's path is longer than %str% characters",
                      component.source, source_folder_limit - 1);
    if (component.stored_path.size() >= PATCH_PATH_SIZE)
        return refuse("Unable to add %str% - its install path is longer than %str% characters",
                      component.source, PATCH_PATH_SIZE - 1);
    const std::string &path = component.stored_path;
    if (path.empty() || path.back() == '\\' || path.back() == ':')
        return refuse("Unable to add %str% - it has no file name to install under",
                      component.source);
    return true;
}

// Later components replace earlier ones stored under the same path.
void drop_repeated(std::vector<Component> &list) {
    std::vector<Component> kept;
    for (size_t i = 0; i < list.size(); ++i) {
        bool repeated = false;
        for (size_t j = i + 1; j < list.size() && !repeated; ++j)
            repeated = same_path(list[i].stored_path, list[j].stored_path);
        if (!repeated) kept.push_back(std::move(list[i]));
    }
    list = std::move(kept);
}

// ---- Blocks on every core -------------------------------------------------------------------

// Compresses a component's pieces on worker threads and writes the blocks in their order, so
// the patch has the same bytes however many workers there are. Each worker has two pieces in
// flight at most: memory stays bounded whatever the component's size. Without workers the
// pieces are compressed in turn on the calling thread.
class BlockPipeline {
public:
    explicit BlockPipeline(unsigned workers) : slots_(2 * std::max(1u, workers)) {
        for (Slot &slot : slots_) {
            slot.piece.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
            slot.block.reset(new (std::nothrow)
                                 uint8_t[PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE]);
            if (!slot.piece || !slot.block) {
                slots_.clear();
                return;
            }
        }
        work_ = std::make_unique<OrderedWork>(workers, slots_.size(), [this](size_t index) {
            Slot &slot = slots_[index];
            slot.block_size =
                patch_make_block(slot.piece.get(), slot.piece_length, slot.block.get());
        });
    }

    // False when the buffers could not be had.
    bool ready() const { return work_ != nullptr; }

    // Streams `length` bytes of `source` into `patch` at its position as blocks; *written gets
    // the bytes written. False after the failure has been reported.
    bool run(TXI_FILE &source, TXI_FILE &patch, uint32_t length, TXP_PROG_T *prog,
             uint64_t *written) {
        bool ok = true;
        *written = 0;
        // Waits for the oldest block in flight and writes it unless the add has failed.
        auto write_next = [&] {
            const Slot &slot = slots_[work_->take()];
            if (!ok) return;
            if (patch.write(slot.block.get(), static_cast<uint32_t>(slot.block_size))) {
                ok = patch_file_error("writing", patch);
                return;
            }
            *written += slot.block_size;
        };
        for (uint64_t offset = 0; offset < length && ok; offset += PATCH_BLOCK_SIZE) {
            if (work_->full()) write_next();
            if (!ok) break;
            Slot &slot = slots_[work_->next_slot()];
            fxp_prog_ratio(prog, static_cast<uint32_t>(offset), length);
            slot.piece_length =
                static_cast<uint32_t>(std::min<uint64_t>(PATCH_BLOCK_SIZE, length - offset));
            if (source.read(slot.piece.get(), slot.piece_length)) {
                ok = patch_file_error("reading", source);
                break;
            }
            work_->submit();
        }
        // Every block in flight is written, or after a failure waited for, so that no worker
        // still works on a buffer when this returns.
        while (work_->in_flight() > 0) write_next();
        return ok;
    }

private:
    struct Slot {
        std::unique_ptr<uint8_t[]> piece, block;
        uint32_t piece_length = 0;
        size_t block_size = 0;
    };

    std::vector<Slot> slots_;
    // After the slots, so that its threads are gone before the buffers.
    std::unique_ptr<OrderedWork> work_;
};

// ---- The patch file under an add ------------------------------------------------------------

// Closes the progress window however the add ends.
struct ProgressWindow {
    TXP_PROG_T prog;
    explicit ProgressWindow(const std::string &title) {
        fxp_prog_init(&prog);
        fxp_prog_open(&prog, nullptr, title.c_str(), DXP_PROG_AUTO_WIDTH, DXP_PROG_STATUS);
    }
    ~ProgressWindow() { fxp_prog_close(&prog); }
};

// Far beyond any data: the lock serialises adds and never meets a reader's bytes.
constexpr DWORD add_lock_offset_high = 0x40000000;

std::string pending_name(const std::string &patch_path) {
    return patch_path + ".pending";
}

bool report_code(const char *verb, const std::string &file, uint16_t code) {
    std::string text;
    fxd_fmt_assign(text, "Error %str% file %str% - %str%", verb, file.c_str(),
                   fxk_error_text(code, &EXI_FILE));
    return patch_report(text.c_str());
}

// A patch that a reader would refuse is not added to: an entry after a fault could never be
// read.
bool report_damaged(const std::string &patch_path, const char *reason) {
    std::string text;
    fxd_fmt_assign(text, "Error updating file %str% - %str%", patch_path.c_str(), reason);
    return patch_report(text.c_str());
}

// Flushes a folder's entries (a file made or removed) to the disk, where the system can.
void flush_folder(const std::string &file) {
    char folder[DXI_PATH_BUFFER];
    fxi_path_folder(file.c_str(), folder);
    std::string dir = folder;
    if (dir.size() > 1 && dir.back() == '\\' && dir[dir.size() - 2] != ':') dir.pop_back();
    if (dir.empty()) return;
    HANDLE handle = CreateFileA(dir.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(handle);
    CloseHandle(handle);
}

// Copies `count` bytes from `from` at its position to `to` at its position.
bool copy_bytes(TXI_FILE &from, TXI_FILE &to, uint64_t count, uint8_t *buffer) {
    while (count > 0) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(count, PATCH_BLOCK_SIZE));
        if (from.read(buffer, n)) return patch_file_error("reading", from);
        if (to.write(buffer, n)) return patch_file_error("writing", to);
        count -= n;
    }
    return true;
}

// Puts the patch (open and locked) back as its pending file saved it and removes the pending
// file. A pending file that is not whole was being written when its add ended: the patch was
// not touched yet, and the pending file only goes.
bool restore_pending(TXI_FILE &patch, const std::string &patch_path) {
    std::string name = pending_name(patch_path);
    TXI_FILE pending(name.c_str());
    if (pending.open(DXI_FILE_READ)) {
        if (pending.error() == DXI_ERR_FILE_NOT_FOUND) return true;
        return patch_file_error("opening", pending);
    }
    uint64_t length = 0;
    if (pending.length(&length)) return patch_file_error("reading length of", pending);
    PATCH_PENDING_HEADER header;
    bool whole = false;
    if (length >= PATCH_PENDING_HEADER_SIZE) {
        uint8_t bytes[PATCH_PENDING_HEADER_SIZE];
        if (pending.read(bytes, sizeof bytes)) return patch_file_error("reading", pending);
        patch_decode_pending_header(bytes, header);
        whole = header.magic == PATCH_PENDING_MAGIC &&
                header.saved_length == length - PATCH_PENDING_HEADER_SIZE;
    }
    if (whole) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        if (!buffer) return patch_report("Insufficient Memory");
        if (patch.seek_to(header.restore_offset))
            return patch_file_error("seeking to end of", patch);
        if (!copy_bytes(pending, patch, header.saved_length, buffer.get())) return false;
        if (patch.truncate(header.restore_offset + header.saved_length))
            return patch_file_error("writing", patch);
    }
    (void)pending.close(); // read only: the patch is restored already
    if (uint16_t code = fxi_delete_file(name.c_str())) return report_code("deleting", name, code);
    return true;
}

// Holds the add lock of an open patch until it goes; another add waits for it, and the lock
// goes with a process that is killed.
class AddLock {
public:
    explicit AddLock(TXI_FILE &patch) : patch_(patch) {
        OVERLAPPED at{};
        at.OffsetHigh = add_lock_offset_high;
        held_ = LockFileEx(patch.handle(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
        if (!held_) error_ = fxi_map_file_error(GetLastError());
    }
    ~AddLock() {
        if (!held_) return;
        OVERLAPPED at{};
        at.OffsetHigh = add_lock_offset_high;
        UnlockFileEx(patch_.handle(), 0, 1, 0, &at);
    }
    AddLock(const AddLock &) = delete;
    AddLock &operator=(const AddLock &) = delete;
    bool held() const { return held_; }
    uint16_t error() const { return error_; }

private:
    TXI_FILE &patch_;
    bool held_ = false;
    uint16_t error_ = 0;
};

// Opens the patch for an add, shared with other adds (the lock orders them), creating it empty
// when it does not exist.
bool open_for_add(TXI_FILE &patch) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (patch.open(DXI_FILE_READ_WRITE | DXI_FILE_SHARED) == 0) return true;
        if (patch.error() != DXI_ERR_FILE_NOT_FOUND) return patch_file_error("updating", patch);
        if (patch.create() == 0) {
            (void)patch.close(); // empty: the add writes it through its own handle
        } else if (patch.error() != DXI_ERR_FILE_EXISTS) {
            return patch_file_error("creating", patch);
        }
    }
    return patch_file_error("updating", patch);
}

// An entry of the patch as its walk found it.
struct StoredEntry {
    uint64_t start = 0, end = 0;
    std::string path;
};

// Walks the entries from the end of the header to `length` as a reader would. Quickly, every
// block but a component's last is taken to expand to a whole piece, as writers make them;
// `expand` expands the blocks instead, for patches written otherwise. Answers a reader's fault
// text, or null when the patch is whole (with `*io_failed` after a reported read failure).
const char *walk_entries(TXI_FILE &patch, uint16_t version, uint64_t length, bool expand,
                         std::vector<StoredEntry> &entries, bool *io_failed) {
    entries.clear();
    *io_failed = false;
    const size_t header_size = patch_component_header_size(version);
    std::unique_ptr<uint8_t[]> stored, expanded;
    if (expand) {
        stored.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        expanded.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        if (!stored || !expanded) return "Insufficient Memory";
    }
    uint64_t offset = PATCH_FILE_HEADER_SIZE;
    auto read_at = [&](uint64_t at, void *buffer, uint32_t count) {
        if (patch.seek_to(at) || patch.read(buffer, count)) {
            *io_failed = true;
            patch_file_error("reading", patch);
            return false;
        }
        return true;
    };
    while (offset < length) {
        if (length - offset < header_size) return "Invalid File Header";
        uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
        if (!read_at(offset, bytes, static_cast<uint32_t>(header_size))) return "";
        PATCH_COMPONENT_HEADER header;
        patch_decode_component_header(bytes, version, header);
        if (header.magic != PATCH_COMPONENT_MAGIC) return "Invalid File Header";
        StoredEntry entry{offset, 0, header.path};
        offset += header_size;
        for (uint64_t produced = 0; produced < header.length;) {
            if (length - offset < PATCH_BUFFER_HEADER_SIZE) return "Invalid Buffer Header";
            uint8_t block_bytes[PATCH_BUFFER_HEADER_SIZE];
            if (!read_at(offset, block_bytes, sizeof block_bytes)) return "";
            PATCH_BUFFER_HEADER block;
            patch_decode_buffer_header(block_bytes, block);
            offset += PATCH_BUFFER_HEADER_SIZE;
            if (block.magic != PATCH_BUFFER_MAGIC || block.stored_length > PATCH_BLOCK_SIZE ||
                length - offset < block.stored_length)
                return "Invalid Buffer Header";
            if (expand) {
                if (!read_at(offset, stored.get(), block.stored_length)) return "";
                uint32_t out = 0;
                if (!patch_expand_block(block, stored.get(), expanded.get(), &out))
                    return "Error Decompressing File";
                produced += out;
            } else if (block.codec == PATCH_CODEC_STORED) {
                produced += block.stored_length;
            } else {
                produced += std::min<uint64_t>(PATCH_BLOCK_SIZE, header.length - produced);
            }
            offset += block.stored_length;
        }
        entry.end = offset;
        entries.push_back(std::move(entry));
    }
    return nullptr;
}

// The moment a new patch is stamped with: SOURCE_DATE_EPOCH (seconds since 1970, universal
// time) as local time when it is set, so that two builds of the same inputs give the same
// bytes; otherwise now.
void creation_clock(TXD_CLOCK *clock) {
    char value[32];
    DWORD n = GetEnvironmentVariableA("SOURCE_DATE_EPOCH", value, sizeof value);
    // Up to the end of the year 9999, the last a clock can hold.
    constexpr uint64_t latest = 253402300799;
    uint64_t seconds = 0;
    bool valid = n > 0 && n < sizeof value;
    for (DWORD i = 0; valid && i < n; ++i) {
        valid = value[i] >= '0' && value[i] <= '9';
        seconds = seconds * 10 + static_cast<uint64_t>(value[i] - '0');
        valid = valid && seconds <= latest;
    }
    if (valid) {
        // FILETIME counts 100 ns from 1601.
        uint64_t ticks = seconds * 10000000 + 116444736000000000;
        FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        FILETIME local;
        SYSTEMTIME parts;
        if (fxd_local_from_filetime(&utc, &local) && FileTimeToSystemTime(&local, &parts)) {
            fxd_clock_from_systemtime(&parts, clock);
            return;
        }
    }
    fxd_clock_now(clock);
}

void encode_new_header(bool undo, uint8_t out[PATCH_FILE_HEADER_SIZE]) {
    PATCH_FILE_HEADER header;
    TXD_CLOCK created;
    creation_clock(&created);
    patch_header_stamp(created, header);
    DWORD size = sizeof header.creator;
    if (!GetUserNameA(header.creator, &size)) header.creator[0] = '\0';
    header.flags = undo ? PATCH_FLAG_UNDO : 0;
    patch_encode_file_header(header, out);
}

// One add under way on a patch file: the patch open and locked against other adds, and its
// pending file, which holds what the add may overwrite so that a failure or a kill can be
// undone. Until commit() an add that ends is undone.
class PatchAdd {
public:
    explicit PatchAdd(std::string path) : path_(std::move(path)), patch_(path_.c_str()) {}
    ~PatchAdd() {
        if (!pending_written_ || committed_) return;
        (void)pending_.close(); // what it holds is on the disk already
        (void)restore_pending(patch_, path_);
    }
    PatchAdd(const PatchAdd &) = delete;
    PatchAdd &operator=(const PatchAdd &) = delete;

    // Opens (or creates) and locks the patch and puts back what a killed add left.
    bool open() {
        if (!open_for_add(patch_)) return false;
        lock_ = std::make_unique<AddLock>(patch_);
        if (!lock_->held()) return report_code("locking", path_, lock_->error());
        if (!restore_pending(patch_, path_)) return false;
        if (patch_.length(&length_before_)) return patch_file_error("retrieving size of", patch_);
        return true;
    }

    // True when the patch held nothing before this add.
    bool is_new() const { return length_before_ == 0; }

    // Adds the components: each replaces the entries stored under its path where the first of
    // them stood, the others follow the last entry.
    bool add(const std::vector<Component> &components, bool undo, bool durable) {
        // Workers start only when there are blocks to compress.
        std::unique_ptr<BlockPipeline> pipeline;
        if (!components.empty()) pipeline = std::make_unique<BlockPipeline>(patch_worker_threads());
        buffer_.reset(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
        if ((pipeline && !pipeline->ready()) || !buffer_)
            return patch_report("Insufficient Memory");

        // A durable add ends in a flush, which should not find the whole patch still to write.
        if (durable) patch_.set_write_behind(1);
        std::vector<StoredEntry> entries;
        if (!is_new() && !read_layout(entries)) return false;
        // Entries from the first replaced one on are rewritten from the pending file's copy.
        size_t first = entries.size();
        std::vector<int> replaced_by(entries.size(), -1);
        for (size_t i = 0; i < entries.size(); ++i)
            for (size_t k = 0; k < components.size() && replaced_by[i] < 0; ++k)
                if (same_path(entries[i].path, components[k].stored_path))
                    replaced_by[i] = static_cast<int>(k), first = std::min(first, i);
        uint64_t restore_offset = first < entries.size() ? entries[first].start : length_before_;

        uint8_t new_header[PATCH_FILE_HEADER_SIZE];
        if (is_new()) encode_new_header(undo, new_header);
        if (!write_pending(restore_offset, is_new() ? new_header : nullptr)) return false;

        if (patch_.seek_to(restore_offset)) return patch_file_error("seeking to end of", patch_);
        if (is_new() && patch_.write(new_header, sizeof new_header))
            return patch_file_error("writing header to", patch_);
        position_ = is_new() ? PATCH_FILE_HEADER_SIZE : restore_offset;

        std::vector<bool> written(components.size(), false);
        for (size_t i = first; i < entries.size(); ++i) {
            int k = replaced_by[i];
            if (k < 0) {
                if (!copy_saved(entries[i], restore_offset)) return false;
            } else if (!written[k]) {
                if (!append(components[k], *pipeline)) return false;
                written[k] = true;
            }
        }
        for (size_t k = 0; k < components.size(); ++k)
            if (!written[k] && !append(components[k], *pipeline)) return false;
        return commit(durable);
    }

private:
    // Reads the header and walks the entries; refuses a patch a reader would refuse.
    bool read_layout(std::vector<StoredEntry> &entries) {
        if (length_before_ < PATCH_FILE_HEADER_SIZE)
            return report_damaged(path_, "Invalid Patch File");
        uint8_t bytes[PATCH_FILE_HEADER_SIZE];
        if (patch_.rewind() || patch_.read(bytes, sizeof bytes))
            return patch_file_error("reading", patch_);
        PATCH_FILE_HEADER header;
        patch_decode_file_header(bytes, header);
        if (header.magic != PATCH_FILE_MAGIC) return report_damaged(path_, "Invalid Patch File");
        if (header.version > PATCH_VERSION) return report_damaged(path_, "Incompatible Patch File");
        version_ = header.version;
        bool io_failed = false;
        const char *fault =
            walk_entries(patch_, version_, length_before_, false, entries, &io_failed);
        if (fault && !io_failed)
            fault = walk_entries(patch_, version_, length_before_, true, entries, &io_failed);
        if (io_failed) return false;
        return fault ? report_damaged(path_, fault) : true;
    }

    // Saves the patch's bytes from `restore_offset` on (or, for a new patch, the header it is
    // to have) into the pending file, whole and on the disk before the patch is touched.
    bool write_pending(uint64_t restore_offset, const uint8_t *new_header) {
        std::string name = pending_name(path_);
        pending_.set_name(name.c_str());
        if (pending_.create()) return patch_file_error("creating", pending_);
        pending_written_ = true;
        PATCH_PENDING_HEADER header;
        header.restore_offset = restore_offset;
        header.saved_length = new_header ? PATCH_FILE_HEADER_SIZE : length_before_ - restore_offset;
        uint8_t bytes[PATCH_PENDING_HEADER_SIZE];
        patch_encode_pending_header(header, bytes);
        if (pending_.write(bytes, sizeof bytes)) return patch_file_error("writing", pending_);
        if (new_header) {
            if (pending_.write(new_header, PATCH_FILE_HEADER_SIZE))
                return patch_file_error("writing", pending_);
        } else {
            if (patch_.seek_to(restore_offset))
                return patch_file_error("seeking to end of", patch_);
            if (!copy_bytes(patch_, pending_, header.saved_length, buffer_.get())) return false;
        }
        if (pending_.flush()) return patch_file_error("writing", pending_);
        return true;
    }

    // Writes a kept entry back from the pending file's copy.
    bool copy_saved(const StoredEntry &entry, uint64_t restore_offset) {
        if (pending_.seek_to(PATCH_PENDING_HEADER_SIZE + entry.start - restore_offset))
            return patch_file_error("reading", pending_);
        if (!copy_bytes(pending_, patch_, entry.end - entry.start, buffer_.get())) return false;
        position_ += entry.end - entry.start;
        return true;
    }

    // Writes one component as its header and blocks at the current position.
    bool append(const Component &component, BlockPipeline &pipeline) {
        std::string title =
            is_new() && position_ == PATCH_FILE_HEADER_SIZE ? "Creating" : "Updating";
        fxd_fmt_append(title, " %str%", path_.c_str());
        ProgressWindow progress(title);

        TXI_FILE source(component.source.c_str());
        if (source.open(DXI_FILE_READ)) return patch_file_error("opening", source);
        uint64_t length = 0;
        if (source.length(&length)) return patch_file_error("reading length of", source);
        // The format cannot carry it; writing it anyway would install a cut-off file.
        if (length >= 0x100000000ull)
            return refuse("Unable to add %str% - a component must be smaller than 4 GiB",
                          component.source);
        PATCH_COMPONENT_HEADER header;
        header.length = static_cast<uint32_t>(length);
        std::memcpy(header.path, component.stored_path.c_str(), component.stored_path.size() + 1);
        if (source.get_time(&header.stamp)) return patch_file_error("reading clock from", source);

        // A version 1 patch keeps its shorter headers, or its readers would lose their place.
        uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
        patch_encode_component_header(header, bytes);
        const size_t header_size = patch_component_header_size(version_);
        if (patch_.write(bytes, static_cast<uint32_t>(header_size)))
            return patch_file_error("writing", patch_);
        uint64_t written = 0;
        if (!pipeline.run(source, patch_, header.length, &progress.prog, &written)) return false;
        position_ += header_size + written;
        return true;
    }

    // Cuts what is left of the old bytes, makes the add durable when asked, and ends it by
    // removing the pending file.
    bool commit(bool durable) {
        uint64_t length = 0;
        if (patch_.length(&length)) return patch_file_error("retrieving size of", patch_);
        if (length > position_) {
            if (patch_.truncate(position_)) return patch_file_error("writing", patch_);
        } else if (durable && patch_.flush()) {
            return patch_file_error("writing", patch_);
        }
        (void)pending_.close(); // what it holds is on the disk already
        std::string name = pending_name(path_);
        if (uint16_t code = fxi_delete_file(name.c_str()))
            return report_code("deleting", name, code);
        committed_ = true;
        if (durable) flush_folder(path_);
        return true;
    }

    std::string path_;
    TXI_FILE patch_;
    TXI_FILE pending_;
    std::unique_ptr<AddLock> lock_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint64_t length_before_ = 0;
    uint64_t position_ = 0;
    uint16_t version_ = PATCH_VERSION;
    bool pending_written_ = false;
    bool committed_ = false;
};

bool add_components(const std::string &patch_path, const char *file, bool direct_path, bool undo,
                    bool durable, const Component *single) {
    // The list is worked out and checked before the patch is touched; it depends on whether
    // the patch holds anything, which is looked at again under the lock.
    auto list_for = [&](bool new_patch) {
        std::vector<Component> list =
            single ? std::vector<Component>{*single} : components_of(file, direct_path, new_patch);
        drop_repeated(list);
        return list;
    };
    bool new_patch = !fxi_test_file(patch_path.c_str());
    std::vector<Component> list = list_for(new_patch);
    for (const Component &component : list)
        if (!check_component(component)) return false;
    if (list.empty()) return true;

    PatchAdd add(patch_path);
    if (!add.open()) return false;
    if (add.is_new() != new_patch) {
        list = list_for(add.is_new());
        for (const Component &component : list)
            if (!check_component(component)) return false;
        if (list.empty()) return true;
    }
    return add.add(list, undo, durable);
}

} // namespace

bool patch_add_file(const char *patch_name, const char *file, const PatchAddOptions &options) {
    // Patch path: a full path, or a name under the patches directory of the current drive.
    std::string patch_path = patch_name;
    if (!options.direct_path) {
        (void)fxi_dir_make_all("\\source\\patches\\"); // if missing, the add says so
        patch_path = "\\source\\patches\\" + patch_split(patch_name).name + ".kvz";
    }
    return add_components(patch_path, file, options.direct_path, options.undo, options.durable,
                          nullptr);
}

bool patch_append_component(const char *patch_path, const char *source, const char *stored_path,
                            const PatchAppendOptions &options) {
    Component component{source, stored_path};
    return add_components(patch_path, source, true, options.undo, options.durable, &component);
}

bool patch_recover(const char *patch_path) {
    if (!fxi_test_file(pending_name(patch_path).c_str())) return true;
    TXI_FILE patch(patch_path);
    if (patch.open(DXI_FILE_READ_WRITE | DXI_FILE_SHARED)) {
        // Without the patch there is nothing to put back.
        if (patch.error() != DXI_ERR_FILE_NOT_FOUND) return patch_file_error("updating", patch);
        (void)fxi_delete_file(pending_name(patch_path).c_str()); // stale: nothing to put back
        return true;
    }
    AddLock lock(patch);
    if (!lock.held()) return report_code("locking", patch_path, lock.error());
    return restore_pending(patch, patch_path);
}

bool patch_create_file(const char *patch_path, bool undo) {
    // Made under a name of its own and renamed into place once its header is in: a run killed
    // on the way leaves no empty file under the patch's name, which nothing could read, only
    // litter the next creation of that name replaces.
    std::string building = std::string(patch_path) + ".new";
    if (fxi_test_file(building.c_str()))
        if (uint16_t code = fxi_delete_file(building.c_str()))
            return report_code("deleting", building, code);
    {
        TXI_FILE patch(building.c_str());
        if (patch.create()) return patch_file_error("creating", patch);
        (void)patch.close(); // empty: the add writes the header itself
        // The header goes in as an add without components: whole, or not at all.
        PatchAdd add(building);
        if (!add.open() || !add.add({}, undo, true)) return false;
    }
    if (!MoveFileExA(building.c_str(), patch_path,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return report_code("creating", patch_path, fxi_map_file_error(GetLastError()));
    return true;
}
