// The console on Windows as the terminal presenter expects a terminal: text written as the
// characters it stands for with VT sequences honoured, keys read as the bytes a VT terminal
// sends, and a key mode that gives the console's line mode back at exit.
#include "platform/host.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>

namespace {

HANDLE stream_handle(kova_stream stream) {
    switch (stream) {
    case KOVA_STDIN:
        return GetStdHandle(STD_INPUT_HANDLE);
    case KOVA_STDOUT:
        return GetStdHandle(STD_OUTPUT_HANDLE);
    case KOVA_STDERR:
        return GetStdHandle(STD_ERROR_HANDLE);
    }
    return nullptr;
}

bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// ---- Output ---------------------------------------------------------------------------------

std::once_flag vt_output_once;

// The presenter redraws lines with VT sequences; consoles before Windows 10 print them as
// they are, which is ugly but loses nothing.
void enable_vt_output() {
    for (DWORD id : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE handle = GetStdHandle(id);
        DWORD mode = 0;
        if (is_console(handle) && GetConsoleMode(handle, &mode))
            SetConsoleMode(handle,
                           mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

// ---- Key mode -------------------------------------------------------------------------------

std::mutex keys_lock;
int keys_depth = 0;
bool saved_valid = false;
DWORD saved_mode = 0;

void restore_line_mode() {
    std::lock_guard<std::mutex> lock(keys_lock);
    if (saved_valid) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_mode);
    saved_valid = false;
}

// ---- Input ----------------------------------------------------------------------------------

// Bytes of a key already read from the console but not yet handed out (a UTF-8 character or
// an escape sequence is several), and the first half of a surrogate pair.
std::deque<unsigned char> pending;
wchar_t pending_high_surrogate = 0;

void queue_text(const char *text) {
    for (; *text; ++text) pending.push_back(static_cast<unsigned char>(*text));
}

void queue_utf8(char32_t cp) {
    if (cp < 0x80) {
        pending.push_back(static_cast<unsigned char>(cp));
    } else if (cp < 0x800) {
        pending.push_back(static_cast<unsigned char>(0xC0 | (cp >> 6)));
        pending.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        pending.push_back(static_cast<unsigned char>(0xE0 | (cp >> 12)));
        pending.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
        pending.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else {
        pending.push_back(static_cast<unsigned char>(0xF0 | (cp >> 18)));
        pending.push_back(static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F)));
        pending.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
        pending.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    }
}

// Turns one key press into the bytes a VT terminal sends for it; keys without a character
// and without a sequence of ours (Shift alone, function keys) give nothing.
void queue_key(const KEY_EVENT_RECORD &key) {
    const char *sequence = nullptr;
    switch (key.wVirtualKeyCode) {
    case VK_UP:
        sequence = "\x1b[A";
        break;
    case VK_DOWN:
        sequence = "\x1b[B";
        break;
    case VK_RIGHT:
        sequence = "\x1b[C";
        break;
    case VK_LEFT:
        sequence = "\x1b[D";
        break;
    case VK_HOME:
        sequence = "\x1b[H";
        break;
    case VK_END:
        sequence = "\x1b[F";
        break;
    case VK_DELETE:
        sequence = "\x1b[3~";
        break;
    default:
        break;
    }
    for (WORD n = key.wRepeatCount ? key.wRepeatCount : 1; n > 0; --n) {
        if (sequence) {
            queue_text(sequence);
            continue;
        }
        wchar_t c = key.uChar.UnicodeChar;
        if (c == 0) return;
        if (c >= 0xD800 && c < 0xDC00) {
            pending_high_surrogate = c;
            continue;
        }
        char32_t cp = c;
        if (c >= 0xDC00 && c < 0xE000) {
            if (!pending_high_surrogate) continue;
            cp = 0x10000 + ((static_cast<char32_t>(pending_high_surrogate) - 0xD800) << 10) +
                 (c - 0xDC00);
        }
        pending_high_surrogate = 0;
        queue_utf8(cp);
    }
}

// Milliseconds left of a wait that started at `start`; negative `timeout_ms` never ends.
DWORD remaining(ULONGLONG start, int timeout_ms) {
    if (timeout_ms < 0) return INFINITE;
    ULONGLONG spent = GetTickCount64() - start;
    return spent >= static_cast<ULONGLONG>(timeout_ms) ? 0 : static_cast<DWORD>(timeout_ms - spent);
}

int read_console_byte(HANDLE input, int timeout_ms) {
    ULONGLONG start = GetTickCount64();
    while (pending.empty()) {
        DWORD waited = WaitForSingleObject(input, remaining(start, timeout_ms));
        if (waited == WAIT_TIMEOUT) return -2;
        if (waited != WAIT_OBJECT_0) return -1;
        INPUT_RECORD record{};
        DWORD read = 0;
        if (!ReadConsoleInputW(input, &record, 1, &read)) return -1;
        if (read == 1 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            queue_key(record.Event.KeyEvent);
        if (pending.empty() && timeout_ms >= 0 && remaining(start, timeout_ms) == 0) return -2;
    }
    int byte = pending.front();
    pending.pop_front();
    return byte;
}

// A pipe says how much it holds without blocking, so a timeout can be kept; files and
// devices answer at once.
int read_stream_byte(HANDLE input, int timeout_ms) {
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        ULONGLONG start = GetTickCount64();
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return -1;
            if (available > 0) break;
            DWORD left = remaining(start, timeout_ms);
            if (left == 0) return -2;
            Sleep(left < 10 ? left : 10);
        }
    }
    unsigned char byte = 0;
    DWORD read = 0;
    if (!ReadFile(input, &byte, 1, &read, nullptr) || read != 1) return -1;
    return byte;
}

bool console_borrowed = false;

bool leads_nowhere(DWORD id) {
    HANDLE handle = GetStdHandle(id);
    return !handle || handle == INVALID_HANDLE_VALUE;
}

// Points a standard stream at the console, for the system's handle and the C runtime's stream
// alike. The handles stay open for the life of the process, as a console program's do.
void take_console_stream(DWORD id, const char *device, FILE *stream, const char *mode) {
    HANDLE handle =
        CreateFileA(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    SetStdHandle(id, handle);
    FILE *reopened = nullptr;
    (void)freopen_s(&reopened, device, mode, stream);
}

} // namespace

void kova_console_attach_parent() {
    bool in = leads_nowhere(STD_INPUT_HANDLE), out = leads_nowhere(STD_OUTPUT_HANDLE),
         err = leads_nowhere(STD_ERROR_HANDLE);
    if (!in && !out && !err) return;
    // A console program has its console already; a program started from Explorer has none to
    // take.
    if (GetConsoleWindow() || !AttachConsole(ATTACH_PARENT_PROCESS)) return;
    console_borrowed = true;
    if (out) take_console_stream(STD_OUTPUT_HANDLE, "CONOUT$", stdout, "w");
    if (err) take_console_stream(STD_ERROR_HANDLE, "CONOUT$", stderr, "w");
    if (in) take_console_stream(STD_INPUT_HANDLE, "CONIN$", stdin, "r");
}

bool kova_console_borrowed() {
    return console_borrowed;
}

bool kova_console_has_stream(kova_stream stream) {
    HANDLE handle = stream_handle(stream);
    return handle && handle != INVALID_HANDLE_VALUE;
}

bool kova_console_is_terminal(kova_stream stream) {
    return is_console(stream_handle(stream));
}

void kova_console_write(kova_stream stream, std::string_view ansi) {
    if ((stream != KOVA_STDOUT && stream != KOVA_STDERR) || ansi.empty()) return;
    HANDLE handle = stream_handle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE) return;
    if (is_console(handle)) {
        std::call_once(vt_output_once, enable_vt_output);
        int length = static_cast<int>(ansi.size());
        int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, nullptr, 0);
        if (n <= 0) return;
        std::wstring wide(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), length, wide.data(), n);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(wide.size() - done),
                               &written, nullptr) ||
                written == 0)
                return;
            done += written;
        }
        return;
    }
    for (size_t done = 0; done < ansi.size();) {
        DWORD written = 0;
        if (!WriteFile(handle, ansi.data() + done, static_cast<DWORD>(ansi.size() - done), &written,
                       nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

int kova_console_rows(kova_stream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(stream_handle(stream), &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int kova_console_columns(kova_stream stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(stream_handle(stream), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void kova_console_keys(bool on) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (on) {
        std::lock_guard<std::mutex> lock(keys_lock);
        if (keys_depth++ > 0 || !is_console(input)) return;
        if (!GetConsoleMode(input, &saved_mode)) return;
        static bool exit_hook = false;
        if (!exit_hook) exit_hook = std::atexit(restore_line_mode) == 0;
        saved_valid = true;
        // Keys arrive one by one and unechoed; Ctrl-C still reaches the control handlers.
        SetConsoleMode(input,
                       (saved_mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                           ENABLE_PROCESSED_INPUT);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(keys_lock);
        if (keys_depth == 0 || --keys_depth > 0) return;
    }
    restore_line_mode();
}

int kova_console_read_byte(int timeout_ms) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!input || input == INVALID_HANDLE_VALUE) return -1;
    return is_console(input) ? read_console_byte(input, timeout_ms)
                             : read_stream_byte(input, timeout_ms);
}
