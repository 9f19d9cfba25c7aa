// The kernel's debug trace, configured from section debug of kova.ini on its first line: to a
// wait window, to the status bar and to a log file in the temporary directory; the pumping
// wait and the diagnostic line of the connection layer. The window and the status bar belong
// to the user interface above, reached through the reports start-up registers.
#include "kernel/coord/conn.h"

#include "kernel/coord/conn_local.h"
#include "kernel/text/format.h"

#include <cstdarg>
#include <mutex>

namespace {

struct Trace {
    bool configured = false;
    bool to_pwin = false, to_hline = false, to_file = false, flush = false;
    std::string file_name;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool window_shown = false;
    DWORD first_tick = 0, last_tick = 0;
    bool any_line = false;

    ~Trace() { close(); }

    void close() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        if (window_shown && fxi_conn_reports().trace_window_close)
            fxi_conn_reports().trace_window_close();
        window_shown = false;
    }

    void configure() {
        configured = true;
        to_pwin = fxi_conn_ini_yes("debug", "pwin");
        to_hline = fxi_conn_ini_yes("debug", "hline");
        to_file = fxi_conn_ini_yes("debug", "logfile");
        flush = to_file && fxi_conn_ini_yes("debug", "flush");
        if (!to_file) return;
        char directory[MAX_PATH + 1] = {}, name[MAX_PATH + 1] = {};
        if (GetTempPathA(sizeof directory, directory) == 0 ||
            GetTempFileNameA(directory, "KOVA", 0, name) == 0) {
            to_file = false;
            return;
        }
        file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            to_file = false;
            return;
        }
        file_name = name;
    }

    void write_file(const std::string &text) {
        std::string line = text + "\r\n";
        DWORD written = 0;
        WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

    void line(const std::string &text) {
        if (!configured) configure();
        if (to_pwin && fxi_conn_reports().trace_window_line) {
            fxi_conn_reports().trace_window_line(text.c_str());
            window_shown = true;
        }
        if (to_hline) fxi_conn_diag_line(text.c_str());
        if (to_file) {
            DWORD now = GetTickCount();
            if (flush) {
                write_file(text);
                FlushFileBuffers(file);
            } else {
                // Without flushing, the timing line shows where the time went: since the
                // previous line and since the first.
                if (any_line && now != last_tick) {
                    std::string timing;
                    fxd_fmt_assign(timing, "%dword%,5/%dword%,5ms elapsed", now - last_tick,
                                   now - first_tick);
                    write_file(timing);
                }
                write_file(text);
            }
            if (!any_line) first_tick = now;
            last_tick = now;
            any_line = true;
        }
    }
};

std::mutex trace_lock;
Trace &trace() {
    static Trace state;
    return state;
}

} // namespace

void fxk_debug_trace(const char *format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(trace_lock);
    trace().line(text);
}

std::string fxk_debug_trace_file() {
    std::lock_guard<std::mutex> guard(trace_lock);
    return trace().file_name;
}

void fxk_debug_trace_reset() {
    std::lock_guard<std::mutex> guard(trace_lock);
    Trace &t = trace();
    t.close();
    t.configured = t.to_pwin = t.to_hline = t.to_file = t.flush = t.any_line = false;
    t.file_name.clear();
}

void fxi_conn_wait(uint32_t units) {
    // A terminal program has no window messages waiting: the wait is the time alone.
    Sleep(units * 10);
}

void fxi_conn_diag_line(const char *text) {
    if (fxi_conn_reports().status_text) fxi_conn_reports().status_text(text);
}
