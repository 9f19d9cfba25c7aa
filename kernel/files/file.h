// The file layer: error modules and their texts, the error context every reporting object
// starts with, the file object TXI_FILE, and copying, moving, deleting and testing files.
#pragma once

#include "kernel/text/format.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- Error modules --------------------------------------------------------------------------

// A numbered range of kernel codes with a fixed text for each, and the modules whose codes
// this module's operations may also return. Static, never freed.
struct TXK_ERRMOD {
    const char *name;
    uint16_t first;
    uint16_t last;
    const char *const *texts;         // last - first + 1 texts
    const TXK_ERRMOD *const *related; // null-terminated
};

extern const TXK_ERRMOD EXI_FILE;  // 2701-2732, related EXI_DIR
extern const TXK_ERRMOD EXI_DIR;   // 2601-2607, related EXI_VOL
extern const TXK_ERRMOD EXI_VOL;   // 2651-2652
extern const TXK_ERRMOD EXI_LFILE; // 3301, related EXI_FILE

// The text of `code` in `module` or, failing that, in its related modules (recursively). 0 is
// "Successful". An unknown code gives "Unknown Error <module> (<code>)" in one static buffer
// that the next such call overwrites.
const char *fxk_error_text(uint16_t code, const TXK_ERRMOD *module);

// The error context at the start of every kernel object that reports errors: its modules (the
// first is the object's own) and its last code.
class TXK_ERRCTX {
public:
    explicit TXK_ERRCTX(const TXK_ERRMOD *module) : modules_{module} {}
    void add_module(const TXK_ERRMOD *module) { modules_.push_back(module); }
    // Stores the code and answers it.
    uint16_t set_error(uint16_t code) { return last_ = code; }
    uint16_t error() const { return last_; }
    // The text of the last code: from the first module that covers it (with its related
    // modules), else the unrecognised-code text with the first module's name.
    const char *text() const;
    const std::vector<const TXK_ERRMOD *> &modules() const { return modules_; }

private:
    std::vector<const TXK_ERRMOD *> modules_;
    uint16_t last_ = 0;
};

// ---- Codes ----------------------------------------------------------------------------------
// The EXI_FILE codes by name.

enum : uint16_t {
    DXI_ERR_FILE_NOT_FOUND = 2701,
    DXI_ERR_DIR_NOT_FOUND = 2702,
    DXI_ERR_NO_HANDLES = 2703,
    DXI_ERR_ACCESS_DENIED = 2704,
    DXI_ERR_INVALID_HANDLE = 2705,
    DXI_ERR_INVALID_ATTRIBUTES = 2706,
    DXI_ERR_END_OF_FILE = 2707,
    DXI_ERR_FILE_EXISTS = 2708,
    DXI_ERR_DISK_FULL = 2709,
    DXI_ERR_INVALID_NAME = 2710,
    DXI_ERR_BAD_PASSWORD = 2711,
    DXI_ERR_NOT_READY = 2712,
    DXI_ERR_INVALID_DRIVE = 2713,
    DXI_ERR_SHORT_READ = 2714,
    DXI_ERR_READ_FAILURE = 2715,
    DXI_ERR_WRITE_FAILURE = 2716,
    DXI_ERR_CLOSE_FAILURE = 2717,
    DXI_ERR_HANDLE_TABLE = 2718,
    DXI_ERR_UNKNOWN = 2719,
    DXI_ERR_READ_ONLY_DISK = 2720,
    DXI_ERR_TEXT_NOT_FOUND = 2721,
    DXI_ERR_CANNOT_DELETE = 2722,
    DXI_ERR_BAD_SOURCE = 2723,
    DXI_ERR_NO_MEMORY = 2724,
    DXI_ERR_BAD_DESTINATION = 2725,
    DXI_ERR_OPEN_FAILURE = 2726,
    DXI_ERR_CREATE_FAILURE = 2727,
    DXI_ERR_NO_NETWORK_PATH = 2728,
    DXI_ERR_WRITE_PROTECTED = 2729,
    DXI_ERR_COPY_CANCELLED = 2730,
    DXI_ERR_CRC_ERROR = 2731,
    DXI_ERR_DIFFERENT = 2732,
};

// Open flags of TXI_FILE::open.
enum : uint16_t {
    DXI_FILE_READ = 0x1,
    DXI_FILE_WRITE = 0x2,
    DXI_FILE_READ_WRITE = 0x3,
    DXI_FILE_SHARED = 0x4,
    DXI_FILE_WRITE_THROUGH = 0x100,
    DXI_FILE_NOT_INDEXED = 0x200,
};

// Attribute bits (the Windows values).
enum : uint16_t {
    DXI_ATTR_READONLY = 0x1,
    DXI_ATTR_HIDDEN = 0x2,
    DXI_ATTR_SYSTEM = 0x4,
    DXI_ATTR_DIRECTORY = 0x10,
    DXI_ATTR_ARCHIVE = 0x20,
};

// The longest name a file object holds.
inline constexpr size_t DXI_FILE_NAME_MAX = 1304;

// ---- The file object ------------------------------------------------------------------------
// Every operation that answers a code also keeps it as the last code. A null name means the
// object's own name.

class TXI_FILE {
public:
    explicit TXI_FILE(const char *name = nullptr);
    ~TXI_FILE();
    TXI_FILE(const TXI_FILE &) = delete;
    TXI_FILE &operator=(const TXI_FILE &) = delete;

    // Closes an open file, clears delete on close, mode, flush after write and write behind,
    // and takes the
    // name (null gives the empty name). A name longer than DXI_FILE_NAME_MAX is not taken:
    // the name becomes empty and the operations by name answer 2710.
    void set_name(const char *name);
    const char *name() const { return name_; }
    HANDLE handle() const { return handle_; }
    uint16_t mode() const { return mode_; }
    bool is_open() const { return handle_ != INVALID_HANDLE_VALUE; }

    [[nodiscard]] uint16_t open(uint16_t flags) { return open(nullptr, flags); }
    [[nodiscard]] uint16_t open(const char *name, uint16_t flags);
    [[nodiscard]] uint16_t create(const char *name = nullptr);
    // A uniquely named new file in `directory` (the temporary directory when null); deleted
    // when the object goes unless `keep`.
    [[nodiscard]] uint16_t create_temp(const char *directory = nullptr, uint16_t keep = 0);
    [[nodiscard]] uint16_t close();

    // With `done`: one transfer of up to `count` bytes. Without: exactly `count` bytes, else
    // 2714 (read) or 2709 (write). A closed object opens its own name for the one transfer.
    [[nodiscard]] uint16_t read(void *buffer, uint32_t count, uint32_t *done = nullptr);
    [[nodiscard]] uint16_t write(const void *buffer, uint32_t count, uint32_t *done = nullptr);
    [[nodiscard]] uint16_t flush();

    // Methods: 0 from the beginning, 1 from the current position, 2 from the end.
    [[nodiscard]] uint16_t seek(int64_t distance, uint16_t method, uint64_t *position = nullptr);
    [[nodiscard]] uint16_t seek_to(uint64_t position) {
        return seek(static_cast<int64_t>(position), 0);
    }
    [[nodiscard]] uint16_t rewind() { return seek(0, 0); }
    [[nodiscard]] uint16_t seek_end() { return seek(0, 2); }
    [[nodiscard]] uint16_t position(uint64_t *position);
    [[nodiscard]] uint16_t length(uint64_t *length, const char *name = nullptr);
    [[nodiscard]] uint16_t truncate(uint64_t length);

    [[nodiscard]] uint16_t get_time(TXD_CLOCK *clock, const char *name = nullptr);
    [[nodiscard]] uint16_t get_time_utc(TXD_CLOCK *clock, const char *name = nullptr);
    [[nodiscard]] uint16_t set_time(const TXD_CLOCK *clock, const char *name = nullptr);
    [[nodiscard]] uint16_t get_attributes(uint16_t *attributes, const char *name = nullptr);
    [[nodiscard]] uint16_t set_attributes(uint16_t attributes, const char *name = nullptr);

    [[nodiscard]] uint16_t remove(const char *name = nullptr);
    // Moves the object's (closed) file to `new_name`; the object then carries that name.
    [[nodiscard]] uint16_t rename(const char *new_name);
    [[nodiscard]] uint16_t rename(const char *old_name, const char *new_name);
    [[nodiscard]] bool exists(const char *name = nullptr) const;

    uint16_t set_flush_after_write(uint16_t flag);
    // With the flag, what is written is sent on to the disk a megabyte at a time without
    // waiting, so that the flush that makes a large file durable finds little left to write.
    // Answers the previous flag; cleared with the name, as flush after write is.
    uint16_t set_write_behind(uint16_t flag);
    // An I/O priority hint for the open handle; nonzero when it was taken.
    int set_io_priority(uint32_t priority);

    uint16_t error() const { return errors_.error(); }
    const char *error_text() const { return errors_.text(); }

protected:
    TXK_ERRCTX &errors() { return errors_; }

private:
    uint16_t fail(uint16_t code) { return errors_.set_error(code); }
    // The name an operation works on, or null (with 2710 kept) when there is none to use.
    const char *target(const char *name);
    // Runs one transfer on the open file; a closed object opens its own name for it (with
    // `access`) and closes it again afterwards.
    template <typename Transfer> uint16_t with_handle(uint16_t access, Transfer transfer);

    TXK_ERRCTX errors_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    uint16_t delete_on_close_ = 0;
    uint16_t mode_ = 0;
    uint16_t flush_after_write_ = 0;
    uint16_t write_behind_ = 0;
    uint32_t unsent_ = 0; // written since writing out was last started
    char name_[DXI_FILE_NAME_MAX + 1] = {};
    bool name_refused_ = false;
};

// ---- Free functions -------------------------------------------------------------------------

[[nodiscard]] uint16_t fxi_copy_file(const char *source, const char *destination,
                                     uint16_t chunk_size);
[[nodiscard]] uint16_t fxi_move_file(const char *old_name, const char *new_name);
[[nodiscard]] uint16_t fxi_delete_file(const char *name);
// Puts the closed file `source` in the place of `target` in one step, whether or not
// `target` exists: a reader of `target` finds either its old or its new bytes, never a mix
// and never nothing, and both names are on the disk when the call answers.
[[nodiscard]] uint16_t fxi_replace_file(const char *source, const char *target);
// Where `name` really is once every link on the way has been followed, as a DOS path, or an
// empty text when it cannot be opened (its last code in `*error`).
[[nodiscard]] std::string fxi_final_path(const char *name, uint16_t *error = nullptr);
// True when a file of that name exists: ordinary, hidden and system files count, a directory
// only when it is itself hidden or system.
[[nodiscard]] bool fxi_test_file(const char *name);
// No critical-error boxes for inaccessible drives.
void fxi_quiet_errors();
// The temporary directory, ending in a backslash, into `out` (520 bytes); answers `out`.
char *fxi_temp_dir(char *out);
// The configured temporary directory that fxi_temp_dir answers before the platform's one;
// the installation settings set it (fxi_set_temp_dir). Empty when none is set.
std::string &fxi_temp_dir_setting();
// The UTF-16 form of a DOS path (ANSI) for the wide-character API. From MAX_PATH characters on
// it is the \\?\ form of the full path, which the API takes beyond MAX_PATH; empty, with the
// Windows error in GetLastError, when the name does not convert.
std::basic_string<WCHAR> fxi_wide_path(const char *name);
// The EXI_FILE code of a Windows error.
[[nodiscard]] uint16_t fxi_map_file_error(DWORD error);

// Last-write times as clocks (through the MS-DOS date and time, 2-second resolution).
[[nodiscard]] uint16_t fxi_time_by_handle(HANDLE handle, TXD_CLOCK *clock, bool utc = false);
[[nodiscard]] uint16_t fxi_time_by_name(const char *name, TXD_CLOCK *clock, bool utc = false);
[[nodiscard]] uint16_t fxi_stamp_by_handle(HANDLE handle, const TXD_CLOCK *clock);
[[nodiscard]] uint16_t fxi_stamp_by_handle_utc(HANDLE handle, const TXD_CLOCK *clock);
[[nodiscard]] uint16_t fxi_stamp_by_name(const char *name, const TXD_CLOCK *clock);

// Between the MS-DOS date and time words and a clock: seconds doubled, a day or month of 0
// taken as 1; back, the second halved and the year taken modulo 128 from 1980.
void fxi_clock_from_dos(WORD dos_date, WORD dos_time, TXD_CLOCK *clock);
void fxi_clock_to_dos(const TXD_CLOCK *clock, WORD *dos_date, WORD *dos_time);
