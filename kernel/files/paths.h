// Paths, directories and volumes: splitting and composing DOS paths, creating, removing and
// searching directories, the current and start-up directories, and the volume questions.
#pragma once

#include "kernel/files/file.h"

#include <string>

// Limits: each part of a path (drive, directory, name, extension) holds 260 characters; the
// directory operations work in buffers of 1,308 bytes.
inline constexpr size_t DXI_PATH_PART_MAX = 260;
inline constexpr size_t DXI_PATH_BUFFER = 1308;

// Path codes (they have no texts).
enum : uint16_t {
    DXI_PATH_BAD_DRIVE = 3201, // empty path, or a drive part that is too long
    DXI_PATH_LONG_DIR = 3202,
    DXI_PATH_LONG_NAME = 3203,
    DXI_PATH_LONG_EXT = 3204,
};

// The EXI_DIR and EXI_VOL codes by name.
enum : uint16_t {
    DXI_ERR_INVALID_DIR = 2601,
    DXI_ERR_DIR_ACCESS = 2602,
    DXI_ERR_DIR_EXISTS = 2603,
    DXI_ERR_DIR_IN_USE = 2604,
    DXI_ERR_NO_MORE_FILES = 2605,
    DXI_ERR_DIR_PASSWORD = 2606,
    DXI_ERR_DIR_NOT_EMPTY = 2607,
    DXI_ERR_VOL_INVALID_DRIVE = 2651,
    DXI_ERR_VOL_NO_DIRECTORY = 2652,
};

// ---- Path texts -----------------------------------------------------------------------------

// Splits a path into drive (C: or \\server\share), directory (with its trailing backslash),
// name, extension (without the dot) and version (always empty). Any out part may be null;
// each takes DXI_PATH_PART_MAX + 1 bytes, `name_ext` (name, dot, extension) twice that.
[[nodiscard]] uint16_t fxi_path_split(const char *path, char *drive, char *dir, char *name,
                                      char *ext, char *version, char *name_ext);
// Composes a path from its parts (any may be null) into `out`; answers `out`.
char *fxi_path_make(const char *drive, const char *dir, const char *name, const char *ext,
                    const char *version, char *out);
std::string fxi_path_make_string(const char *drive, const char *dir, const char *name,
                                 const char *ext, const char *version);
// Drive and directory of `path`, ending in a backslash unless empty.
char *fxi_path_folder(const char *path, char *out);
// The last component (after the last colon or backslash, one trailing backslash ignored).
char *fxi_path_leaf(const char *path, char *out);
// Cuts the last component off in place; the parent keeps its trailing backslash.
char *fxi_path_parent(char *path);

// ---- Directories ----------------------------------------------------------------------------

[[nodiscard]] bool fxi_dir_exists(const char *path);
[[nodiscard]] uint16_t fxi_dir_make(const char *path);
[[nodiscard]] uint16_t fxi_dir_make_all(const char *path);
[[nodiscard]] uint16_t fxi_dir_remove(const char *path);
// The current directory with a trailing backslash (`out` holds DXI_PATH_BUFFER bytes).
char *fxi_dir_current(char *out);
// The directory that was current when the kernel first changed directory (else the current
// one), with a trailing backslash.
char *fxi_dir_startup(char *out);
[[nodiscard]] uint16_t fxi_dir_set_current(const char *path);

// A directory search in progress.
struct TXI_DIRSCAN {
    char drive[DXI_PATH_PART_MAX + 1];
    char directory[DXI_PATH_PART_MAX + 1];
    uint16_t mask;  // the attributes asked for; 0 is taken as 0x21 (ordinary files)
    uint16_t exact; // the entry's attributes must equal the mask
    uint16_t entry_attributes;
    uint64_t entry_size;
    TXD_CLOCK entry_time; // last write, local time
    char pattern[DXI_PATH_BUFFER];
    HANDLE handle = INVALID_HANDLE_VALUE; // when no search is open
    char entry_name[DXI_PATH_PART_MAX + 1];
};

// The first and next entries matching the pattern and the attribute filters; `full_name`
// (DXI_PATH_BUFFER bytes, may be null) receives drive + directory + entry name. 2605 when there
// are no (more) entries.
[[nodiscard]] uint16_t fxi_dir_first(const char *pattern, uint16_t mask, uint16_t exact,
                                     char *full_name, TXI_DIRSCAN *scan);
[[nodiscard]] uint16_t fxi_dir_next(char *full_name, TXI_DIRSCAN *scan);
void fxi_dir_close(TXI_DIRSCAN *scan);
// Deletes every ordinary file matching the pattern; the code of the last failed deletion.
[[nodiscard]] uint16_t fxi_delete_files(const char *pattern);
[[nodiscard]] uint16_t fxi_map_dir_error(DWORD error);

// ---- Volumes and computers ------------------------------------------------------------------

[[nodiscard]] bool fxi_vol_valid(const char *drive);
[[nodiscard]] bool fxi_vol_removable(const char *drive);
[[nodiscard]] bool fxi_vol_is_local(const char *drive);
// The current drive (up to its colon; a network path whole) into DXI_PATH_BUFFER bytes.
char *fxi_vol_current(char *out);
// The server of a drive or network path (`out` holds DXI_PATH_BUFFER bytes); empty for a
// drive not connected to a share.
char *fxi_vol_server(const char *drive, char *out);
char *fxi_current_server(char *out);
// This computer's name into `out` (16 bytes): 0, or 1200 on failure.
[[nodiscard]] uint16_t fxi_computer_name(char *out);
// The full path of the running program (`out` holds DXI_PATH_BUFFER bytes).
char *fxi_module_path(char *out);
