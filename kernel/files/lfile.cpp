// Line files and the kernel's logs: reading a line at a time with the system's line ends,
// writing CR LF lines, the log directory and the start log kvstart.log.
#include "kernel/files/lfile.h"

#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/text/format.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

constexpr char CR = 0x0D, LF = 0x0A, CTRL_Z = 0x1A;

uint16_t position_of(HANDLE handle, uint64_t &position) {
    LARGE_INTEGER zero{}, at{};
    if (!SetFilePointerEx(handle, zero, &at, FILE_CURRENT))
        return fxi_map_file_error(GetLastError());
    position = static_cast<uint64_t>(at.QuadPart);
    return 0;
}

uint16_t move_to(HANDLE handle, uint64_t position) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(position);
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) ? 0
                                                             : fxi_map_file_error(GetLastError());
}

// The text with its CR LF, unless it ends in one already.
std::string as_line(const char *text, size_t size) {
    std::string line(text, size);
    if (size < 2 || text[size - 2] != CR || text[size - 1] != LF) line += "\r\n";
    return line;
}

uint16_t write_all(HANDLE handle, const std::string &bytes) {
    DWORD put = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr))
        return fxi_map_file_error(GetLastError());
    return put == bytes.size() ? 0 : DXI_ERR_DISK_FULL;
}

} // namespace

uint16_t fxi_lfile_read_raw(HANDLE handle, char *buffer, uint32_t length, uint16_t quote,
                            uint16_t lf) {
    uint64_t start = 0;
    if (uint16_t code = position_of(handle, start)) return code;
    DWORD n = 0;
    if (!ReadFile(handle, buffer, length, &n, nullptr)) return fxi_map_file_error(GetLastError());
    if (n == 0 || buffer[0] == CTRL_Z) {
        buffer[0] = '\0';
        return DXI_ERR_END_OF_FILE;
    }
    bool in_quotes = false;
    for (DWORD i = 0; i < n; ++i) {
        char c = buffer[i];
        if (c == CTRL_Z) {
            // The text ends here; the next read starts at the mark and finds the end.
            buffer[i] = '\0';
            return move_to(handle, start + i);
        }
        if (quote && c == '"') in_quotes = !in_quotes;
        if (in_quotes || !(c == CR || (lf && c == LF))) continue;

        char partner = c == CR ? LF : CR;
        buffer[i] = '\0';
        uint64_t next = start + i + 1;
        if (i + 1 < n) {
            if (buffer[i + 1] == partner) ++next;
        } else {
            // The end byte was the last one read: its partner may follow in the file.
            char following = 0;
            DWORD got = 0;
            if (ReadFile(handle, &following, 1, &got, nullptr) && got == 1 && following == partner)
                ++next;
        }
        return move_to(handle, next);
    }
    if (n < length) {
        buffer[n] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    if (uint16_t code = move_to(handle, start)) return code;
    return DXI_ERR_LINE_TOO_LONG;
}

uint16_t fxi_lfile_write_raw(HANDLE handle, const char *text) {
    return write_all(handle, as_line(text, strlen(text)));
}

uint16_t fxi_lfile_print_raw(HANDLE handle, const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    return write_all(handle, as_line(text.data(), text.size()));
}

// ---- The line-file object -------------------------------------------------------------------

TXI_LFILE::TXI_LFILE(const char *name) : TXI_FILE(name) {
    errors().add_module(&EXI_LFILE);
}

uint16_t TXI_LFILE::read_line(char *buffer, uint32_t length, uint16_t quote) {
    return errors().set_error(fxi_lfile_read_raw(handle(), buffer, length, quote, 0));
}

uint16_t TXI_LFILE::read_line_string(std::string &out, uint16_t quote) {
    // Larger buffers, 16,385 bytes more each time, while the line does not fit.
    for (uint32_t size = 16385;; size += 16385) {
        out.assign(size, '\0');
        uint16_t code = read_line(out.data(), size - 1, quote);
        if (code != DXI_ERR_LINE_TOO_LONG) {
            out.resize(code ? 0 : strlen(out.c_str()));
            return code;
        }
    }
}

uint16_t TXI_LFILE::write_line(const char *text) {
    std::string line = as_line(text, strlen(text));
    return write(line.data(), static_cast<uint32_t>(line.size()));
}

uint16_t TXI_LFILE::write_line_string(const std::string &text) {
    std::string line = as_line(text.data(), text.size());
    return write(line.data(), static_cast<uint32_t>(line.size()));
}

uint16_t TXI_LFILE::print_line(const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    return write_line_string(text);
}

// ---- Logs -----------------------------------------------------------------------------------

char *fxi_log_dir(char *out, uint16_t installation) {
    std::string dir;
    if (!installation) {
        dir = fxi_file_store() + "LOGS\\";
    } else {
        dir = fxi_data_home();
        if (fxi_release() >= 18) {
            // The LOGS folder beside the company's file-store folder.
            std::string store = fxi_file_store();
            store.pop_back();
            std::string logs = store.substr(0, store.rfind('\\') + 1) + "LOGS\\";
            if (fxi_dir_exists(logs.c_str())) dir = logs;
        }
    }
    size_t n = std::min(dir.size(), DXI_PATH_BUFFER - 1);
    memcpy(out, dir.data(), n);
    out[n] = '\0';
    return out;
}

void fxi_start_log(const char *format, ...) {
    std::string message;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(message, format, args);
    va_end(args);

    char path[DXI_PATH_BUFFER];
    fxi_log_dir(path, 1);
    std::string file = std::string(path) + "kvstart.log";
    TXD_CLOCK now;
    fxd_clock_now(&now);
    std::string line;
    fxd_fmt_assign(line, "%date%,2 %time%,2 %str%\r\n", &now.date, &now.time, message.c_str());

    static std::mutex start_log_lock;
    std::lock_guard lock(start_log_lock);
    // Appending through an append-only handle that other writers may share: every line goes
    // to the end of the log as it is then, so no writer overwrites another's line, and an
    // existing log is never truncated.
    HANDLE handle = CreateFileA(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    write_all(handle, line);
    CloseHandle(handle);
}
