// The file layer: error modules, the file object and the free file functions over the Win32
// file API, with every Windows error turned into a code of EXI_FILE.
#include "kernel/files/file.h"

#include "kernel/files/paths.h"
#include "kernel/text/dates.h"
#include "platform/host.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

// ---- Error modules --------------------------------------------------------------------------

namespace {

const char *const file_texts[] = {
    "File not Found",
    "Directory not Found",
    "No Free File Handles",
    "Access Denied",
    "Invalid File Handle",
    "Invalid Attributes",
    "End of File",
    "File Already Exists",
    "Disk Full",
    "Invalid File Name",
    "Incorrect Password",
    "Drive not Ready",
    "Invalid Drive",
    "End of File",
    "File Read Failure",
    "File Write Failure",
    "File Close Failure",
    "Failed to Modify File Handle Table",
    "Unknown File Access Error",
    "Disk Read Only",
    "Unable to Find Text in File",
    "Unable to Delete File",
    "Invalid Source File Name",
    "Insufficient Memory for Buffer",
    "Invalid Destination File Name",
    "File Open Failure",
    "File Creation Failure",
    "Network Path Not Found",
    "Media Write Protected",
    "Copy Operation Cancelled",
    "Data CRC Error",
    "Files are Different",
};
const char *const dir_texts[] = {
    "Invalid Directory",   "Directory Access Error", "Directory Already Exists",
    "Directory in Use",    "No More Files Found",    "Directory Password Error",
    "Directory Not Empty",
};
const char *const vol_texts[] = {"Invalid Drive", "Cannot Get Directory on Drive"};
const char *const lfile_texts[] = {"Line Too Long"};

const TXK_ERRMOD *const file_related[] = {&EXI_DIR, nullptr};
const TXK_ERRMOD *const dir_related[] = {&EXI_VOL, nullptr};
const TXK_ERRMOD *const no_related[] = {nullptr};
const TXK_ERRMOD *const lfile_related[] = {&EXI_FILE, nullptr};

static_assert(std::size(file_texts) == 2732 - 2701 + 1);
static_assert(std::size(dir_texts) == 2607 - 2601 + 1);

// The text of `code` in `module` or one of its related modules; null when none covers it.
// The depth bound keeps a careless cycle of related modules from recursing forever.
const char *covered_text(uint16_t code, const TXK_ERRMOD *module, int depth = 0) {
    if (!module || depth > 16) return nullptr;
    if (code >= module->first && code <= module->last) return module->texts[code - module->first];
    for (const TXK_ERRMOD *const *r = module->related; r && *r; ++r)
        if (const char *text = covered_text(code, *r, depth + 1)) return text;
    return nullptr;
}

char unknown_text[96];

const char *unknown_error(uint16_t code, const TXK_ERRMOD *module) {
    return fxd_fmt_buffer(unknown_text, "Unknown Error %str% (%dword%,5)",
                          module && module->name ? module->name : "", static_cast<uint32_t>(code));
}

} // namespace

const TXK_ERRMOD EXI_FILE = {"EXI_FILE", 2701, 2732, file_texts, file_related};
const TXK_ERRMOD EXI_DIR = {"EXI_DIR", 2601, 2607, dir_texts, dir_related};
const TXK_ERRMOD EXI_VOL = {"EXI_VOL", 2651, 2652, vol_texts, no_related};
const TXK_ERRMOD EXI_LFILE = {"EXI_LFILE", 3301, 3301, lfile_texts, lfile_related};

const char *fxk_error_text(uint16_t code, const TXK_ERRMOD *module) {
    if (code == 0) return "Successful";
    if (const char *text = covered_text(code, module)) return text;
    return unknown_error(code, module);
}

const char *TXK_ERRCTX::text() const {
    if (last_ == 0) return "Successful";
    for (const TXK_ERRMOD *module : modules_)
        if (const char *text = covered_text(last_, module)) return text;
    return unknown_error(last_, modules_.empty() ? nullptr : modules_.front());
}

// ---- Error mapping and clocks ---------------------------------------------------------------

uint16_t fxi_map_file_error(DWORD error) {
    // Only the low 8 bits choose the case, so 288 (0x120) reads as 32.
    switch (error & 0xFF) {
    case 2:
        return 2701;
    case 3:
        return 2702;
    case 4:
        return 2703;
    case 5:
    case 32:
    case 33:
    case 65:
        return 2704;
    case 6:
        return 2705;
    case 12:
        return 2706;
    case 15:
        return 2713;
    case 19:
        return 2729;
    case 21:
        return 2712;
    case 23:
        return 2731;
    case 25:
        return 2707;
    case 53:
    case 67:
        return 2728;
    case 80:
    case 183:
        return 2708;
    case 82:
    case 112:
        return 2709;
    case 86:
        return 2711;
    case 83:
    case 255:
        return 2720;
    default:
        return (error & 0xFFFF) ? static_cast<uint16_t>(error & 0xFFFF) : 2719;
    }
}

namespace {
uint8_t to_bcd(unsigned value) {
    return static_cast<uint8_t>(((value / 10 % 10) << 4) | (value % 10));
}
unsigned from_bcd(uint8_t value) {
    return (value >> 4) * 10 + (value & 0x0F);
}
} // namespace

void fxi_clock_from_dos(WORD dos_date, WORD dos_time, TXD_CLOCK *clock) {
    unsigned day = dos_date & 0x1F, month = (dos_date >> 5) & 0x0F;
    unsigned year = 1980 + (dos_date >> 9);
    clock->date.day = to_bcd(day ? day : 1);
    clock->date.month = to_bcd(month ? month : 1);
    clock->date.century = to_bcd(year / 100);
    clock->date.year = to_bcd(year % 100);
    clock->time.hour = to_bcd(dos_time >> 11);
    clock->time.minute = to_bcd((dos_time >> 5) & 0x3F);
    clock->time.second = to_bcd((dos_time & 0x1F) * 2);
}

void fxi_clock_to_dos(const TXD_CLOCK *clock, WORD *dos_date, WORD *dos_time) {
    int year = static_cast<int>(from_bcd(clock->date.century) * 100 + from_bcd(clock->date.year));
    unsigned years = static_cast<unsigned>(((year - 1980) % 128 + 128) % 128);
    *dos_date = static_cast<WORD>((years << 9) | ((from_bcd(clock->date.month) & 0x0F) << 5) |
                                  (from_bcd(clock->date.day) & 0x1F));
    *dos_time = static_cast<WORD>(((from_bcd(clock->time.hour) & 0x1F) << 11) |
                                  ((from_bcd(clock->time.minute) & 0x3F) << 5) |
                                  ((from_bcd(clock->time.second) / 2) & 0x1F));
}

std::basic_string<WCHAR> fxi_wide_path(const char *name) {
    std::basic_string<WCHAR> wide(strlen(name) + 1, 0);
    int n = MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), static_cast<int>(wide.size()));
    if (n <= 0) {
        SetLastError(ERROR_INVALID_NAME);
        return {};
    }
    wide.resize(static_cast<size_t>(n - 1));
    static const WCHAR long_prefix[] = {'\\', '\\', '?', '\\', 0};
    if (wide.size() < MAX_PATH || wide.starts_with(long_prefix)) return wide;
    // The \\?\ form is taken as it stands: the full path, with '.' and '..' already applied.
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::basic_string<WCHAR> full(size, 0);
    size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (size == 0 || size >= full.size()) return {};
    full.resize(size);
    // \\server\share\x becomes \\?\UNC\server\share\x.
    static const WCHAR unc_prefix[] = {'\\', '\\', '?', '\\', 'U', 'N', 'C', 0};
    if (full.size() > 2 && full[0] == '\\' && full[1] == '\\') return unc_prefix + full.substr(1);
    return long_prefix + full;
}

// ---- Times by handle and by name ------------------------------------------------------------

namespace {

void clock_from_filetime(const FILETIME &time, TXD_CLOCK *clock) {
    WORD date = 0, dos_time = 0;
    if (!FileTimeToDosDateTime(&time, &date, &dos_time)) date = dos_time = 0;
    fxi_clock_from_dos(date, dos_time, clock);
}

// The FILETIME of a clock: local unless `utc`, then to UTC. False when no such time exists.
bool filetime_from_clock(const TXD_CLOCK *clock, bool utc, FILETIME *out) {
    WORD date, dos_time;
    fxi_clock_to_dos(clock, &date, &dos_time);
    FILETIME local;
    if (!DosDateTimeToFileTime(date, dos_time, &local)) return false;
    if (utc) {
        *out = local;
        return true;
    }
    return fxd_filetime_from_local(&local, out);
}

// Names of 260 characters or more go through the wide-character API, which takes long paths
// in their \\?\ form (260 counts the NUL, so CreateFileA refuses them).
HANDLE create_by_name(const char *name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (strlen(name) < MAX_PATH)
        return CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
    std::basic_string<WCHAR> wide = fxi_wide_path(name);
    if (wide.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// Opens an existing file for the open flags, retrying while another process holds it.
uint16_t open_existing(const char *name, uint16_t flags, HANDLE *handle) {
    DWORD access;
    if (flags & DXI_FILE_READ)
        access = GENERIC_READ | (flags & DXI_FILE_WRITE ? GENERIC_WRITE : 0);
    else if (flags & DXI_FILE_WRITE)
        access = GENERIC_WRITE;
    else
        return 2706;
    DWORD share = flags & DXI_FILE_SHARED  ? FILE_SHARE_READ | FILE_SHARE_WRITE
                  : flags == DXI_FILE_READ ? FILE_SHARE_READ
                                           : 0;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (flags & DXI_FILE_WRITE_THROUGH) attributes |= FILE_FLAG_WRITE_THROUGH;
    if (flags & DXI_FILE_NOT_INDEXED) attributes |= FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        *handle = create_by_name(name, access, share, OPEN_EXISTING, attributes);
        if (*handle != INVALID_HANDLE_VALUE) return 0;
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION) break;
        Sleep(250);
    }
    return fxi_map_file_error(error);
}

uint16_t create_new(const char *name, HANDLE *handle) {
    *handle =
        create_by_name(name, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    return *handle == INVALID_HANDLE_VALUE ? fxi_map_file_error(GetLastError()) : 0;
}

// The directory entry of a file, as the existence test finds it.
uint16_t find_entry(const char *name, TXI_DIRSCAN *scan) {
    uint16_t code = fxi_dir_first(
        name, DXI_ATTR_READONLY | DXI_ATTR_HIDDEN | DXI_ATTR_SYSTEM | DXI_ATTR_ARCHIVE, 0, nullptr,
        scan);
    fxi_dir_close(scan);
    return code == 0 ? 0 : code == 2605 ? 2701 : code;
}

bool same_text_nocase(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (toupper(static_cast<unsigned char>(*a)) != toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

} // namespace

uint16_t fxi_time_by_handle(HANDLE handle, TXD_CLOCK *clock, bool utc) {
    FILETIME written;
    if (!GetFileTime(handle, nullptr, nullptr, &written)) return 2705;
    FILETIME shown = written;
    if (!utc && !fxd_local_from_filetime(&written, &shown)) return 2705;
    clock_from_filetime(shown, clock);
    return 0;
}

uint16_t fxi_time_by_name(const char *name, TXD_CLOCK *clock, bool utc) {
    TXI_DIRSCAN scan;
    if (uint16_t code = find_entry(name, &scan)) return code;
    if (!utc) {
        *clock = scan.entry_time;
        return 0;
    }
    FILETIME when;
    if (!filetime_from_clock(&scan.entry_time, false, &when)) return 2705;
    clock_from_filetime(when, clock);
    return 0;
}

namespace {
uint16_t stamp(HANDLE handle, const TXD_CLOCK *clock, bool utc) {
    FILETIME when;
    if (!filetime_from_clock(clock, utc, &when)) return 2705;
    return SetFileTime(handle, nullptr, nullptr, &when) ? 0 : 2705;
}
} // namespace

uint16_t fxi_stamp_by_handle(HANDLE handle, const TXD_CLOCK *clock) {
    return stamp(handle, clock, false);
}
uint16_t fxi_stamp_by_handle_utc(HANDLE handle, const TXD_CLOCK *clock) {
    return stamp(handle, clock, true);
}

uint16_t fxi_stamp_by_name(const char *name, const TXD_CLOCK *clock) {
    HANDLE handle;
    if (uint16_t code = open_existing(name, DXI_FILE_WRITE, &handle)) return code;
    uint16_t code = stamp(handle, clock, false);
    CloseHandle(handle);
    return code;
}

// ---- The file object ------------------------------------------------------------------------

// How much a file in write-behind mode takes before its writing out is started.
constexpr uint32_t write_behind_bytes = 1u << 20;

TXI_FILE::TXI_FILE(const char *name) : errors_(&EXI_FILE) {
    set_name(name);
}

TXI_FILE::~TXI_FILE() {
    // Nobody is left to hear about it: an owner whose writes matter closes before this.
    if (is_open()) (void)close();
    // A temporary file: only litter is lost.
    if (delete_on_close_ && name_[0]) (void)fxi_delete_file(name_);
}

void TXI_FILE::set_name(const char *name) {
    // An owner whose writes matter closes the file itself before naming another.
    if (is_open()) (void)close();
    delete_on_close_ = 0;
    mode_ = 0;
    flush_after_write_ = 0;
    write_behind_ = 0;
    name_refused_ = false;
    if (!name) {
        name_[0] = 0;
    } else if (strlen(name) > DXI_FILE_NAME_MAX) {
        // A cut name would name another file; the object keeps none and says why.
        name_[0] = 0;
        name_refused_ = true;
        fail(2710);
    } else if (name != name_) {
        strcpy(name_, name);
    }
}

const char *TXI_FILE::target(const char *name) {
    if (name) {
        if (strlen(name) > DXI_FILE_NAME_MAX) return fail(2710), nullptr;
        return name;
    }
    if (name_refused_) return fail(2710), nullptr;
    return name_;
}

uint16_t TXI_FILE::open(const char *name, uint16_t flags) {
    if (is_open()) (void)close(); // an owner whose writes matter closes first
    const char *path = target(name);
    if (!path) return error();
    HANDLE handle;
    if (uint16_t code = open_existing(path, flags, &handle)) return fail(code);
    handle_ = handle;
    if (name && name != name_) strcpy(name_, name), name_refused_ = false;
    mode_ = flags;
    delete_on_close_ = 0;
    return fail(0);
}

uint16_t TXI_FILE::create(const char *name) {
    if (is_open()) (void)close(); // an owner whose writes matter closes first
    const char *path = target(name);
    if (!path) return error();
    HANDLE handle;
    if (uint16_t code = create_new(path, &handle)) return fail(code);
    handle_ = handle;
    if (name && name != name_) strcpy(name_, name), name_refused_ = false;
    mode_ = 3;
    delete_on_close_ = 0;
    return fail(0);
}

uint16_t TXI_FILE::create_temp(const char *directory, uint16_t keep) {
    if (is_open()) (void)close(); // an owner whose writes matter closes first
    char temp[DXI_PATH_BUFFER];
    std::string dir = directory ? directory : fxi_temp_dir(temp);
    if (!dir.empty()) {
        uint16_t code = fxi_dir_make_all(dir.c_str());
        if (code && code != 2603) return fail(code);
        // Without a separator the name would land beside the directory, not in it.
        if (dir.back() != '\\' && dir.back() != ':') dir += '\\';
    }
    uint32_t counter = GetTickCount() / 10;
    std::string name;
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint16_t code;
    do {
        fxd_fmt_assign(name, "%str%%dword%,4.KVT", dir.c_str(), counter++);
        if (name.size() > DXI_FILE_NAME_MAX) return fail(2710);
        code = create_new(name.c_str(), &handle);
    } while (code == 2708);
    if (code) return fail(code);
    handle_ = handle;
    strcpy(name_, name.c_str());
    name_refused_ = false;
    mode_ = 3;
    delete_on_close_ = keep ? 0 : 1;
    return fail(0);
}

uint16_t TXI_FILE::close() {
    if (!is_open()) return fail(2705);
    if (!CloseHandle(handle_)) return fail(2717);
    handle_ = INVALID_HANDLE_VALUE;
    return fail(0);
}

template <typename Transfer> uint16_t TXI_FILE::with_handle(uint16_t access, Transfer transfer) {
    bool implicit = !is_open();
    if (implicit) {
        const char *path = target(nullptr);
        if (!path) return error();
        if (uint16_t code = open_existing(path, access, &handle_)) {
            handle_ = INVALID_HANDLE_VALUE;
            return fail(code);
        }
    }
    uint16_t code = transfer();
    if (implicit) {
        if (CloseHandle(handle_))
            handle_ = INVALID_HANDLE_VALUE;
        else if (!code)
            code = 2717;
    }
    return fail(code);
}

uint16_t TXI_FILE::read(void *buffer, uint32_t count, uint32_t *done) {
    return with_handle(DXI_FILE_READ, [&]() -> uint16_t {
        DWORD got = 0;
        if (!ReadFile(handle_, buffer, count, &got, nullptr))
            return fxi_map_file_error(GetLastError());
        if (done)
            *done = got;
        else if (got != count)
            return 2714;
        return 0;
    });
}

uint16_t TXI_FILE::write(const void *buffer, uint32_t count, uint32_t *done) {
    return with_handle(DXI_FILE_WRITE, [&]() -> uint16_t {
        DWORD put = 0;
        if (!WriteFile(handle_, buffer, count, &put, nullptr))
            return fxi_map_file_error(GetLastError());
        if (done)
            *done = put;
        else if (put != count)
            return 2709;
        if (flush_after_write_ && !FlushFileBuffers(handle_)) return 2705;
        if (write_behind_ && (unsent_ += put) >= write_behind_bytes) {
            kova_file_write_behind(handle_); // a hint: the flush still makes the file durable
            unsent_ = 0;
        }
        return 0;
    });
}

uint16_t TXI_FILE::flush() {
    return fail(FlushFileBuffers(handle_) ? 0 : 2705);
}

uint16_t TXI_FILE::seek(int64_t distance, uint16_t method, uint64_t *position) {
    LARGE_INTEGER move, at;
    move.QuadPart = distance;
    if (!SetFilePointerEx(handle_, move, &at, method))
        return fail(fxi_map_file_error(GetLastError()));
    if (position) *position = static_cast<uint64_t>(at.QuadPart);
    return fail(0);
}

uint16_t TXI_FILE::position(uint64_t *position) {
    return seek(0, 1, position);
}

uint16_t TXI_FILE::length(uint64_t *length, const char *name) {
    if (!name && is_open()) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle_, &size)) return fail(fxi_map_file_error(GetLastError()));
        *length = static_cast<uint64_t>(size.QuadPart);
        return fail(0);
    }
    const char *path = target(name);
    if (!path) return error();
    TXI_DIRSCAN scan;
    if (uint16_t code = find_entry(path, &scan)) return fail(code);
    *length = scan.entry_size;
    return fail(0);
}

uint16_t TXI_FILE::truncate(uint64_t length) {
    if (seek_to(length)) return fail(2709);
    if (!SetEndOfFile(handle_)) return fail(2705);
    return flush();
}

uint16_t TXI_FILE::get_time(TXD_CLOCK *clock, const char *name) {
    if (!name && is_open()) return fail(fxi_time_by_handle(handle_, clock, false));
    const char *path = target(name);
    return path ? fail(fxi_time_by_name(path, clock, false)) : error();
}

uint16_t TXI_FILE::get_time_utc(TXD_CLOCK *clock, const char *name) {
    if (!name && is_open()) return fail(fxi_time_by_handle(handle_, clock, true));
    const char *path = target(name);
    return path ? fail(fxi_time_by_name(path, clock, true)) : error();
}

uint16_t TXI_FILE::set_time(const TXD_CLOCK *clock, const char *name) {
    if (!name && is_open() && (mode_ & DXI_FILE_WRITE))
        return fail(fxi_stamp_by_handle(handle_, clock));
    const char *path = target(name);
    return path ? fail(fxi_stamp_by_name(path, clock)) : error();
}

uint16_t TXI_FILE::get_attributes(uint16_t *attributes, const char *name) {
    const char *path = target(name);
    if (!path) return error();
    DWORD found = GetFileAttributesA(path);
    if (found == INVALID_FILE_ATTRIBUTES) return fail(fxi_map_file_error(GetLastError()));
    *attributes = static_cast<uint16_t>(found);
    return fail(0);
}

uint16_t TXI_FILE::set_attributes(uint16_t attributes, const char *name) {
    const char *path = target(name);
    if (!path) return error();
    DWORD kept =
        attributes & (DXI_ATTR_READONLY | DXI_ATTR_HIDDEN | DXI_ATTR_SYSTEM | DXI_ATTR_ARCHIVE);
    if (!SetFileAttributesA(path, kept)) return fail(fxi_map_file_error(GetLastError()));
    return fail(0);
}

uint16_t TXI_FILE::remove(const char *name) {
    if (name && !same_text_nocase(name, name_)) {
        if (strlen(name) > DXI_FILE_NAME_MAX) return fail(2710);
        return fail(fxi_delete_file(name));
    }
    if (name_refused_) return fail(2710);
    // The file is about to go, so how its close went does not matter.
    if (is_open()) (void)close();
    return fail(fxi_delete_file(name_));
}

uint16_t TXI_FILE::rename(const char *new_name) {
    if (!new_name || strlen(new_name) > DXI_FILE_NAME_MAX) return fail(2710);
    if (name_[0] && new_name[0])
        if (uint16_t code = fxi_move_file(name_, new_name)) return fail(code);
    if (new_name != name_) strcpy(name_, new_name);
    name_refused_ = false;
    return fail(0);
}

uint16_t TXI_FILE::rename(const char *old_name, const char *new_name) {
    if (!old_name || !*old_name || !new_name || !*new_name) return fail(2701);
    if (strlen(new_name) > DXI_FILE_NAME_MAX) return fail(2710);
    if (uint16_t code = fxi_move_file(old_name, new_name)) return fail(code);
    if (new_name != name_) strcpy(name_, new_name);
    name_refused_ = false;
    return fail(0);
}

bool TXI_FILE::exists(const char *name) const {
    if (!name && name_refused_) return false;
    return fxi_test_file(name ? name : name_);
}

uint16_t TXI_FILE::set_flush_after_write(uint16_t flag) {
    uint16_t previous = flush_after_write_;
    flush_after_write_ = flag;
    return previous;
}

uint16_t TXI_FILE::set_write_behind(uint16_t flag) {
    uint16_t previous = write_behind_;
    write_behind_ = flag;
    unsent_ = 0;
    return previous;
}

int TXI_FILE::set_io_priority(uint32_t priority) {
    FILE_IO_PRIORITY_HINT_INFO info{static_cast<PRIORITY_HINT>(priority)};
    return SetFileInformationByHandle(handle_, FileIoPriorityHintInfo, &info, sizeof info) ? 1 : 0;
}

// ---- Free functions -------------------------------------------------------------------------

uint16_t fxi_copy_file(const char *source, const char *destination, uint16_t chunk_size) {
    if (!source || !fxi_test_file(source)) return 2723;
    TXI_FILE in(source);
    if (in.open(DXI_FILE_READ)) return 2726;
    uint64_t remaining = 0;
    if (uint16_t code = in.length(&remaining)) return code;
    // A zero chunk would never finish; the tool's own copies use 4,096 bytes.
    uint64_t chunk = chunk_size ? chunk_size : 4096;
    if (remaining < chunk) chunk = remaining;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[std::max<uint64_t>(chunk, 1)]);
    if (!buffer) return 2724;
    if (!destination || fxi_test_file(destination)) return 2725;
    TXI_FILE out(destination);
    if (out.create()) return 2727;
    while (remaining > 0) {
        uint32_t n = static_cast<uint32_t>(std::min(remaining, chunk));
        uint16_t code = in.read(buffer.get(), n) ? 2715 : out.write(buffer.get(), n) ? 2716 : 0;
        if (code) {
            // The copy has failed already; its code is what the caller needs. Deleting the
            // part written is the best that can be done for it.
            (void)out.close();
            (void)fxi_delete_file(destination);
            (void)in.close(); // opened for reading
            return code;
        }
        remaining -= n;
    }
    buffer.reset();
    (void)in.close(); // opened for reading
    // A failed close may have lost written bytes: the copy is then no copy.
    if (out.close()) {
        (void)fxi_delete_file(destination);
        return DXI_ERR_CLOSE_FAILURE;
    }
    // The bytes are complete; a copy that keeps its own time or attributes is still a copy.
    TXD_CLOCK written;
    if (in.get_time(&written) == 0) (void)out.set_time(&written);
    uint16_t attributes = 0;
    if (in.get_attributes(&attributes) == 0) (void)out.set_attributes(attributes);
    return 0;
}

uint16_t fxi_move_file(const char *old_name, const char *new_name) {
    return MoveFileA(old_name, new_name) ? 0 : fxi_map_file_error(GetLastError());
}

uint16_t fxi_replace_file(const char *source, const char *target) {
    if (MoveFileExA(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return fxi_map_file_error(GetLastError());
}

std::string fxi_final_path(const char *name, uint16_t *error) {
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (error) *error = fxi_map_file_error(GetLastError());
        return {};
    }
    char buffer[DXI_FILE_NAME_MAX + 8];
    DWORD length = GetFinalPathNameByHandleA(handle, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
    DWORD failure = length == 0 || length >= sizeof buffer ? GetLastError() : ERROR_SUCCESS;
    CloseHandle(handle);
    if (failure != ERROR_SUCCESS || length == 0 || length >= sizeof buffer) {
        if (error) *error = fxi_map_file_error(failure ? failure : ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    std::string path(buffer, length);
    // The long-path prefix says nothing about where the file is.
    if (path.rfind("\\\\?\\", 0) == 0) path.erase(0, 4);
    if (error) *error = 0;
    return path;
}

uint16_t fxi_delete_file(const char *name) {
    if (!name || !fxi_test_file(name)) return 2701;
    {
        // Only a file nobody else has open may go.
        TXI_FILE probe;
        if (probe.open(name, DXI_FILE_READ_WRITE)) return 2722;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (DeleteFileA(name)) return 0;
        if (GetLastError() != ERROR_SHARING_VIOLATION) return 2722;
        Sleep(250);
    }
    return 2722;
}

bool fxi_test_file(const char *name) {
    if (!name) return false;
    TXI_DIRSCAN scan;
    return find_entry(name, &scan) == 0;
}

void fxi_quiet_errors() {
    SetErrorMode(SEM_FAILCRITICALERRORS);
}

std::string &fxi_temp_dir_setting() {
    static std::string setting;
    return setting;
}

char *fxi_temp_dir(char *out) {
    const std::string &configured = fxi_temp_dir_setting();
    if (!configured.empty()) {
        size_t n = std::min<size_t>(configured.size(), 518);
        memcpy(out, configured.data(), n);
        out[n] = 0;
    } else if (DWORD n = GetTempPathA(520, out); n == 0 || n >= 520) {
        out[0] = 0;
    }
    size_t n = strlen(out);
    if (n > 0 && out[n - 1] != '\\') strcpy(out + n, "\\");
    return out;
}
