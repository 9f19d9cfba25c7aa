// The postmortem file: the filter start-up installs for crashes, the dump writer over the
// platform's dump library, and the dump archive below the log directory.
#include "kernel/errors/report.h"

#include "kernel/coord/queue.h"
#include "kernel/errors/dump_zip.h"
#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/usage.h"

#include <cstring>
#include <string>
#include <vector>

void (*fxk_postmortem_hook)(const char *dump_path) = nullptr;

namespace {

constexpr DWORD default_dump_type = 0x21A25;

using WriteDump = BOOL(WINAPI *)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                 PMINIDUMP_EXCEPTION_INFORMATION,
                                 MINIDUMP_USER_STREAM_INFORMATION *,
                                 MINIDUMP_CALLBACK_INFORMATION *);
using ApiVersion = LPAPI_VERSION(WINAPI *)();

template <typename Function> Function entry(HMODULE library, const char *name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

std::string program_name() {
    char path[DXI_PATH_BUFFER] = {}, name[DXI_PATH_PART_MAX + 1] = {};
    // A path the split refuses leaves the name empty; the dump and the box still work without it.
    (void)fxi_path_split(fxi_module_path(path), nullptr, nullptr, name, nullptr, nullptr, nullptr);
    return name;
}

// The dump library: by the platform's search first, then beside the program.
HMODULE load_dump_library(WriteDump *write) {
    std::string beside = fxi_program_dir() + "dbghelp.dll";
    for (const std::string &name : {std::string("dbghelp.dll"), beside}) {
        HMODULE library = LoadLibraryA(name.c_str());
        if (!library) continue;
        if ((*write = entry<WriteDump>(library, "MiniDumpWriteDump"))) return library;
        FreeLibrary(library);
    }
    return nullptr;
}

// What the dump holds beyond its type: every thread and every module, no data segments of a
// module that has no full path (there is no file to place them against), and memory that
// cannot be read left out while the dump goes on.
BOOL WINAPI choose_contents(void *, PMINIDUMP_CALLBACK_INPUT input,
                            PMINIDUMP_CALLBACK_OUTPUT output) {
    if (!input || !output) return FALSE;
    switch (input->CallbackType) {
    case IncludeThreadCallback:
    case IncludeModuleCallback:
    case ThreadCallback:
    case ThreadExCallback:
        return TRUE;
    case ModuleCallback: {
        bool full_path = false;
        for (const WCHAR *c = input->Module.FullPath; c && *c && !full_path; ++c)
            full_path = *c == '\\';
        if (!full_path) output->ModuleWriteFlags &= ~static_cast<ULONG>(ModuleWriteDataSeg);
        return TRUE;
    }
    case ReadMemoryFailureCallback:
        // S_OK goes on past the failure. The system's dbghelp reads the status from the
        // answer's first member; the compiler's header places it elsewhere.
        output->ModuleWriteFlags = 0;
        return TRUE;
    default:
        return FALSE; // no memory to add, no cancelling
    }
}

bool name_character_allowed(char c) {
    return static_cast<unsigned char>(c) > ' ' && !std::strchr("\\/:*?\"<>|", c);
}

// The archive's name, or when another dump of the same second has it, the name with "_2",
// "_3" ... before the extension: archives of different processes never replace each other.
std::string unused_name(const std::string &base, const char *extension) {
    std::string path = base + extension;
    for (int n = 2; fxi_test_file(path.c_str()) && n < 1000; ++n)
        path = base + "_" + std::to_string(n) + extension;
    return path;
}

} // namespace

DWORD fxk_dump_type(WORD major, WORD minor) {
    DWORD type = default_dump_type;
    if (major < 5 || (major == 5 && minor < 2))
        type &= ~(0x3E0u | 0x1F3C00u);
    else if (major < 6 || (major == 6 && minor <= 1))
        type &= ~0x1F3C00u;
    return type;
}

bool fxk_postmortem_dump(char *path, PEXCEPTION_POINTERS exception) {
    path[0] = '\0';
    WriteDump write = nullptr;
    HMODULE library = load_dump_library(&write);
    if (!library) return false;
    DWORD type = default_dump_type;
    if (auto version = entry<ApiVersion>(library, "ImagehlpApiVersion"))
        if (LPAPI_VERSION v = version()) type = fxk_dump_type(v->MajorVersion, v->MinorVersion);

    // The kernel's temporary directory, whole: taking its folder onto another drive (the
    // Windows directory's) would name a folder that need not exist.
    char directory[520] = {};
    std::string dump = std::string(fxi_temp_dir(directory)) + program_name() + ".DMP";
    DWORD attributes = GetFileAttributesA(dump.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(dump.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    HANDLE file = CreateFileA(dump.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    bool written = false;
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION information{GetCurrentThreadId(), exception, FALSE};
        MINIDUMP_CALLBACK_INFORMATION callback{choose_contents, nullptr};
        written = write(GetCurrentProcess(), GetCurrentProcessId(), file,
                        static_cast<MINIDUMP_TYPE>(type), exception ? &information : nullptr,
                        nullptr, &callback);
        CloseHandle(file);
        // Half a dump would only mislead whoever reads it.
        if (!written) DeleteFileA(dump.c_str());
    }
    FreeLibrary(library);
    if (written) std::memcpy(path, dump.c_str(), dump.size() + 1);
    return written;
}

LONG WINAPI fxk_postmortem_filter(PEXCEPTION_POINTERS exception) {
    char path[DXI_PATH_BUFFER] = {};
    bool written = fxk_postmortem_dump(path, exception);
    std::string text = "This program has encountered a problem and needs to close. ";
    if (written)
        fxd_fmt_append(
            text, "The following postmortem diagnostic file has been created:\r\n\r\n%str%", path);
    else
        text += "A postmortem diagnostic file could not be generated.";
    if (fxp_presenter.desktop_visible()) {
        fxp_msg_box(nullptr, text.c_str(), program_name().c_str(), MB_OK | MB_ICONSTOP);
    } else {
        // Unattended, whoever started the program still learns where the file is.
        std::string line = text;
        fxd_string_replace(line, "\r\n\r\n", " ");
        fxp_channel.write_error(line + "\n");
    }
    if (fxk_postmortem_hook) fxk_postmortem_hook(path);
    return written ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

std::string fxk_dump_archive_name(const TXD_CLOCK &clock, bool attached) {
    std::string name;
    fxd_fmt_assign(name, "%clock%,6", &clock);
    if (!attached) return name;
    TXK_SIGNON facts = fxk_signon_resolved();
    std::string component = facts.component, user = facts.user_id;
    component.resize(8, ' ');
    user.resize(20, ' ');
    std::string suffix;
    fxd_fmt_assign(suffix, "_%utxt%_EP%byte%,5_%utxt%_%str%", component.c_str(), 8,
                   facts.entry_point, user.c_str(), 20, facts.function.c_str());
    for (char &c : suffix)
        if (!name_character_allowed(c)) c = '_';
    return name + suffix;
}

char *fxk_dump_archive(const char *dump, char *out) {
    bool attached = fxk_user_attached();
    char log[DXI_PATH_BUFFER] = {};
    fxi_log_dir(log, attached ? 0 : 1);
    std::string directory = std::string(log) + "MiniDump\\";
    if (!fxi_dir_exists(directory.c_str()) && fxi_dir_make(directory.c_str()) != 0) directory = log;
    TXD_CLOCK now;
    fxd_clock_now(&now);
    std::string base = directory + fxk_dump_archive_name(now, attached);

    auto answer = [out](const std::string &path) {
        std::memcpy(out, path.c_str(), std::min(path.size() + 1, DXI_PATH_BUFFER));
        out[DXI_PATH_BUFFER - 1] = '\0';
        return out;
    };
    TXI_FILE file;
    uint64_t size = 0;
    if (file.length(&size, dump) == 0 && size > 0 && size < (1ull << 31)) {
        std::vector<uint8_t> data(size), archive;
        char name[2 * DXI_PATH_PART_MAX + 2] = {};
        if (fxi_path_split(dump, nullptr, nullptr, nullptr, nullptr, nullptr, name) == 0 &&
            file.open(dump, DXI_FILE_READ | DXI_FILE_SHARED) == 0 &&
            file.read(data.data(), static_cast<uint32_t>(size)) == 0 && file.close() == 0 &&
            fxk_zip_one(name, data, &archive)) {
            std::string path = unused_name(base, ".zip");
            TXI_FILE zip;
            if (zip.create(path.c_str()) == 0) {
                bool written =
                    zip.write(archive.data(), static_cast<uint32_t>(archive.size())) == 0;
                if (zip.close() == 0 && written) return answer(path);
                (void)fxi_delete_file(path.c_str()); // a failed archive: only litter is lost
            }
        }
        (void)file.close(); // opened for reading
    }
    std::string copy = unused_name(base, ".dmp");
    if (fxi_copy_file(dump, copy.c_str(), 0) == 0) return answer(copy);
    return answer(dump);
}
