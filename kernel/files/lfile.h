// Line files: reading and writing text files a line at a time, as a file object or directly on
// an open handle, and the kernel's log directory and start log (kvstart.log).
#pragma once

#include "kernel/files/file.h"

#include <cstdint>
#include <string>

// The line-end code of a line longer than the buffer.
inline constexpr uint16_t DXI_ERR_LINE_TOO_LONG = 3301;

// A line ends at CR, or CR LF; with the LF flag also at LF, or LF CR. With the quote flag, CR and
// LF between double quotes belong to the line. The byte 0x1A ends the text.

// Reads the next line into `buffer` (length + 1 bytes, NUL-terminated) and leaves the file at
// the start of the line after it. 2707 at the end of the text; 3301, with the file back at the
// start of the line, when the line does not fit; a file-layer code when reading fails.
[[nodiscard]] uint16_t fxi_lfile_read_raw(HANDLE handle, char *buffer, uint32_t length,
                                          uint16_t quote, uint16_t lf);
// Writes the text followed by CR LF, unless it ends in CR LF already.
[[nodiscard]] uint16_t fxi_lfile_write_raw(HANDLE handle, const char *text);
// Formats with the tagged format engine and writes as fxi_lfile_write_raw.
[[nodiscard]] uint16_t fxi_lfile_print_raw(HANDLE handle, const char *format, ...);

// A file object that reads and writes lines; its codes include EXI_LFILE's 3301. Each read
// starts at the current position, so reads, writes and seeks may be mixed.
class TXI_LFILE : public TXI_FILE {
public:
    explicit TXI_LFILE(const char *name = nullptr);

    [[nodiscard]] uint16_t read_line(char *buffer, uint32_t length, uint16_t quote = 0);
    // Reads the next line whatever its length.
    [[nodiscard]] uint16_t read_line_string(std::string &out, uint16_t quote = 0);
    // Writes the text and CR LF (unless it ends in CR LF), flushing after the write when the
    // object's flush-after-write flag is set.
    [[nodiscard]] uint16_t write_line(const char *text);
    [[nodiscard]] uint16_t write_line_string(const std::string &text);
    [[nodiscard]] uint16_t print_line(const char *format, ...);
};

// The log directory into `out` (DXI_PATH_BUFFER bytes), ending in a backslash. Installation 0:
// the company's file store + "LOGS\". Installation 1: from release level 18 the LOGS folder
// beside the company's file-store folder when it exists, otherwise the data home.
char *fxi_log_dir(char *out, uint16_t installation);
// Appends "<date> <time> <message>" CR LF to kvstart.log in the installation's log directory.
// Lines of concurrent writers (threads or processes) never overwrite one another; when the
// log cannot be written the line is skipped.
void fxi_start_log(const char *format, ...);
