// Building patches: one component file appended to a patch as a header and stored blocks,
// with the development source tree's short forms for overlays and menus.
#include "patch/build.h"

#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/prog.h"
#include "patch/format.h"
#include "patch/log.h"
#include "patch/parts.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

// The kernel's client and resource libraries, which every patch of overlays carries first.
constexpr const char *kernel_libraries[] = {
    "\\kova2000\\kovafm.dll",
    "\\kova2000\\kovares.dll",
    "\\kova2000\\kovafm64.dll",
    "\\kova2000\\kovars64.dll",
};

bool is_kernel_library(const char *file) {
    for (const char *library : kernel_libraries)
        if (std::strcmp(file, library) == 0) return true;
    return false;
}

// Install directories are stored release-neutral, so one patch serves every release tree.
std::string neutral_directory(const std::string &dir) {
    for (const char *release : {"\\KOVABrisel\\", "\\kova2004\\", "\\kova2006\\"})
        if (fxd_prefix_nocase(dir.c_str(), release) == 0)
            return "\\kova2000\\" + dir.substr(std::strlen(release));
    return dir;
}

// Where a component comes from and the directory it installs into.
struct Source {
    std::string path;
    std::string install_dir;
};

// Closes the progress window however the add ends.
struct ProgressWindow {
    TXP_PROG_T prog;
    explicit ProgressWindow(const std::string &title) {
        fxp_prog_init(&prog);
        fxp_prog_open(&prog, nullptr, title.c_str(), DXP_PROG_AUTO_WIDTH, DXP_PROG_STATUS);
    }
    ~ProgressWindow() { fxp_prog_close(&prog); }
};

bool write_new_header(TXI_FILE &patch, bool undo) {
    PATCH_FILE_HEADER header;
    TXD_CLOCK now;
    fxd_clock_now(&now);
    patch_header_stamp(now, header);
    DWORD size = sizeof header.creator;
    if (!GetUserNameA(header.creator, &size)) header.creator[0] = '\0';
    header.flags = undo ? PATCH_FLAG_UNDO : 0;
    uint8_t bytes[PATCH_FILE_HEADER_SIZE];
    patch_encode_file_header(header, bytes);
    return patch.write(bytes, sizeof bytes) == 0;
}

// Streams the source into the patch as blocks of PATCH_BLOCK_SIZE bytes.
bool write_blocks(TXI_FILE &source, TXI_FILE &patch, uint32_t length, TXP_PROG_T *prog) {
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[PATCH_BLOCK_SIZE]);
    std::unique_ptr<uint8_t[]> block(new (std::nothrow)
                                         uint8_t[PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE]);
    if (!piece || !block) return patch_report("Insufficient Memory");
    for (uint32_t offset = 0; offset < length; offset += PATCH_BLOCK_SIZE) {
        fxp_prog_ratio(prog, offset, length);
        uint32_t count = std::min<uint32_t>(PATCH_BLOCK_SIZE, length - offset);
        if (source.read(piece.get(), count)) return patch_file_error("reading", source);
        size_t size = patch_make_block(piece.get(), count, block.get());
        if (patch.write(block.get(), static_cast<uint32_t>(size)))
            return patch_file_error("writing", patch);
    }
    return true;
}

} // namespace

bool patch_add_file(TXI_FILE *open_patch, const char *patch_name, const char *file, bool undo,
                    bool direct_path, bool force, bool second_pass) {
    // Patch path: a full path, or a name under the patches directory of the current drive.
    std::string patch_path = patch_name;
    if (!direct_path) {
        (void)fxi_dir_make_all("\\source\\patches\\"); // if missing, the patch cannot be made
        patch_path = "\\source\\patches\\" + patch_split(patch_name).name + ".kvz";
    }
    PatchPathParts given = patch_split(file);
    if (given.refused) {
        // Its parts would all be empty: the component would be stored without a name.
        std::string text;
        fxd_fmt_assign(text,
                       "Unable to add %str% - a part of its path is longer than %str% characters",
                       file, std::to_string(DXI_PATH_PART_MAX).c_str());
        return patch_report(text.c_str());
    }

    // A new patch of overlays carries the kernel libraries first.
    if (!direct_path && !fxi_test_file(patch_path.c_str()) &&
        patch_extension_family(given.ext, "kvo")) {
        for (int i = 0; i < 4; ++i)
            if (!patch_add_file(nullptr, patch_name, kernel_libraries[i], undo, false, true,
                                i >= 2))
                return false;
    }

    TXI_FILE own_patch;
    TXI_FILE &patch = open_patch ? *open_patch : own_patch;
    std::string title;
    if (open_patch && open_patch->is_open()) {
        title = "Updating";
    } else {
        if (!open_patch) patch.set_name(patch_path.c_str());
        if (!patch.exists()) {
            title = "Creating";
            if (patch.create()) return patch_file_error("creating", patch);
        } else if (!force && is_kernel_library(file)) {
            return true;
        } else {
            title = "Updating";
            if (patch.open(DXI_FILE_READ_WRITE)) return patch_file_error("updating", patch);
        }
    }
    fxd_fmt_append(title, " %str%", patch_path.c_str());
    ProgressWindow progress(title);

    uint64_t patch_length = 0;
    if (patch.length(&patch_length)) return patch_file_error("retrieving size of", patch);
    if (patch_length == 0 && !write_new_header(patch, undo))
        return patch_file_error("writing header to", patch);

    // Source and install directory: x:name.kvo, x:name.kvm and x:name.kve pick built files of
    // the development source tree on drive x.
    Source source{file, given.dir};
    if (!given.drive.empty() && given.dir.empty() &&
        (patch_extension_family(given.ext, "kvo") || patch_extension_family(given.ext, "kvm") ||
         patch_extension_family(given.ext, "kve"))) {
        std::string module = given.name.substr(0, 3);
        std::string tree = given.drive + "\\source\\kova." + module + "\\8\\";
        if (patch_extension_family(given.ext, "kvo")) {
            std::string variant_name = given.name;
            auto variant_path = [&](char variant) {
                if (variant_name.size() >= 4) variant_name[3] = variant;
                return tree + given.name_ext + "\\" + variant_name + ".exe";
            };
            char variant = '6';
            if (!second_pass) {
                if (fxi_test_file(variant_path('6').c_str()) &&
                    !patch_add_file(&patch, patch_name, file, undo, direct_path, true, true))
                    return false;
                variant = fxi_test_file(variant_path('3').c_str()) ? '3' : 'w';
            }
            source.path = variant_path(variant);
            source.install_dir = "\\kova2000\\" + module + "\\overlays\\";
        } else {
            if (patch_extension_family(given.ext, "kvm")) {
                std::string executable = given.drive + given.name + ".kve";
                if (!patch_add_file(&patch, patch_name, executable.c_str(), undo, direct_path, true,
                                    false))
                    return false;
            }
            source.path = tree + given.name + ".kvm\\" + given.name_ext;
            source.install_dir = "\\kova2000\\" + module + "\\menus\\";
        }
    }

    TXI_FILE input(source.path.c_str());
    if (input.open(DXI_FILE_READ)) return patch_file_error("opening", input);
    uint64_t length = 0;
    if (input.length(&length)) return patch_file_error("reading length of", input);

    PATCH_COMPONENT_HEADER header;
    std::string path;
    if (!patch_extension_family(given.ext, "kvk") && !patch_extension_family(given.ext, "kvc"))
        path = neutral_directory(source.install_dir);
    if (input.get_time(&header.stamp)) return patch_file_error("reading clock from", input);
    std::string stored_name = patch_split(source.path.c_str()).name_ext;
    if (patch_extension_family(given.ext, "kvo"))
        stored_name.replace(0, std::min<size_t>(3, stored_name.size()), "kv8");
    path += stored_name;

    // The format cannot carry these; writing them anyway would leave a patch that installs
    // a wrong or cut-off file.
    if (length >= 0x100000000ull) {
        std::string text;
        fxd_fmt_assign(text, "Unable to add %str% - a component must be smaller than 4 GiB",
                       source.path.c_str());
        return patch_report(text.c_str());
    }
    if (path.size() >= PATCH_PATH_SIZE) {
        std::string text;
        fxd_fmt_assign(text,
                       "Unable to add %str% - its install path is longer than %str% characters",
                       source.path.c_str(), std::to_string(PATCH_PATH_SIZE - 1).c_str());
        return patch_report(text.c_str());
    }
    header.length = static_cast<uint32_t>(length);
    std::memcpy(header.path, path.c_str(), path.size() + 1);

    if (patch.seek_end()) return patch_file_error("seeking to end of", patch);
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    patch_encode_component_header(header, bytes);
    if (patch.write(bytes, sizeof bytes)) return patch_file_error("writing", patch);
    if (!write_blocks(input, patch, header.length, &progress.prog)) return false;
    // An undo patch must hold the replaced copy on disk before that copy is deleted.
    if (!open_patch && patch.flush()) return patch_file_error("writing", patch);
    return true;
}

bool patch_create_file(const char *patch_path, bool undo) {
    TXI_FILE patch(patch_path);
    if (patch.create()) return patch_file_error("creating", patch);
    if (!write_new_header(patch, undo) || patch.flush()) return patch_file_error("writing", patch);
    return true;
}

bool patch_append_component(const char *patch_path, const char *source, const char *stored_path,
                            const PatchAppendOptions &options) {
    if (!fxi_test_file(patch_path) && !patch_create_file(patch_path, options.undo)) return false;
    TXI_FILE patch(patch_path);
    if (patch.open(DXI_FILE_READ_WRITE)) return patch_file_error("updating", patch);
    uint64_t old_length = 0;
    if (patch.length(&old_length) || patch.seek_end())
        return patch_file_error("retrieving size of", patch);
    TXI_FILE input(source);
    if (input.open(DXI_FILE_READ)) return patch_file_error("opening", input);
    uint64_t length = 0;
    PATCH_COMPONENT_HEADER header;
    if (input.length(&length)) return patch_file_error("reading length of", input);
    if (input.get_time(&header.stamp)) return patch_file_error("reading clock from", input);
    if (length >= 0x100000000ull || std::strlen(stored_path) >= PATCH_PATH_SIZE ||
        !*stored_path) {
        std::string text;
        fxd_fmt_assign(text, "Unable to add %str% - it cannot be stored in a patch", source);
        return patch_report(text.c_str());
    }
    header.length = static_cast<uint32_t>(length);
    std::memcpy(header.path, stored_path, std::strlen(stored_path) + 1);
    uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
    patch_encode_component_header(header, bytes);
    ProgressWindow progress(std::string("Updating ") + patch_path);
    bool written = patch.write(bytes, sizeof bytes) == 0 || patch_file_error("writing", patch);
    written = written && write_blocks(input, patch, header.length, &progress.prog);
    if (written && options.durable && patch.flush()) written = patch_file_error("writing", patch);
    if (!written) {
        // Cut back what was appended, so the patch reads as it did.
        if (patch.truncate(old_length) == 0) (void)patch.flush();
        return false;
    }
    return true;
}
