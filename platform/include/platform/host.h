// Host helpers: what a program needs from its host that the Win32 surface has no call for (the
// console as a terminal, the host's text encoding, its own name, printing, running as a
// service). Declared once for every platform; each platform folder implements them.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

// ---- Start ----------------------------------------------------------------------------------

// The program's entry hands its argument vector over once, before the kernel asks for the
// command line. On POSIX the arguments become the Windows command line the kernel reads, host
// paths turned into DOS paths; Windows has the command line already and ignores them.
void kova_set_host_args(int argc, char **argv);

// ---- Text -----------------------------------------------------------------------------------

// UTF-8 to the ANSI code page and back. Characters the code page cannot hold become '?', as
// WideCharToMultiByte does without best fit.
std::string kova_ansi_from_utf8(std::string_view utf8);
std::string kova_utf8_from_ansi(std::string_view ansi);
// Wide text to the ANSI code page likewise: a character beyond the first plane is one '?', not
// one per half of its surrogate pair.
std::string kova_ansi_from_wide(std::basic_string_view<WCHAR> wide);

// A path as the host spells it (UTF-8 on POSIX, an ANSI path with either slash on Windows) in
// DOS form (ANSI, backslashes). On POSIX an absolute path lies on the drive whose target is
// its longest prefix, else on Z:.
std::string kova_dos_from_host(std::string_view host_path);

// ---- Console --------------------------------------------------------------------------------

enum kova_stream : int { KOVA_STDIN = 0, KOVA_STDOUT = 1, KOVA_STDERR = 2 };

// A windowed program started from a console takes that console for its standard streams
// that lead nowhere, so that its usage text and fatal messages still reach the operator there;
// streams the program was given (redirected to files and pipes) stay as they are. Does nothing
// for a console program and on POSIX. Call it first in main.
void kova_console_attach_parent();
// Whether the console was taken from the program that started this one: that program reads
// the same console, so no key can be waited for on it.
bool kova_console_borrowed();
// Whether the stream leads anywhere (a terminal, file or pipe).
bool kova_console_has_stream(kova_stream stream);
// Whether the stream is a terminal (a console on Windows).
bool kova_console_is_terminal(kova_stream stream);
// Writes ANSI text to standard output or standard error: on a terminal as the characters it
// stands for (VT sequences included), elsewhere in the host's encoding of files and pipes
// (UTF-8 on POSIX, the ANSI bytes on Windows). A failed write (a closed pipe) is dropped.
void kova_console_write(kova_stream stream, std::string_view ansi);
// Size of the terminal's window behind the stream; 0 when the stream is no terminal.
int kova_console_rows(kova_stream stream);
int kova_console_columns(kova_stream stream);
// Switches standard input between key-at-a-time reading without echo and the line mode it
// had; a no-op when standard input is no terminal. The line mode comes back at exit.
void kova_console_keys(bool on);
// Reads one byte from standard input: 0-255, -1 at the end of input or on an error, -2 when
// `timeout_ms` (negative: no limit) passes first. A terminal's keys arrive as a VT terminal
// sends them: characters in UTF-8, Enter as CR, Backspace as BS, Escape as ESC and the cursor
// keys as ESC [ sequences.
int kova_console_read_byte(int timeout_ms);

// ---- Crashes --------------------------------------------------------------------------------

// Installs the program's unhandled-exception filter for every crash the host knows and answers
// the previous filter: the faults the system raises as exceptions, and an abort of the C
// runtime (where an uncaught C++ exception ends), which reaches the filter as the exception
// STATUS_FATAL_APP_EXIT (0x40000015). Windows ends an aborting program quietly otherwise.
LPTOP_LEVEL_EXCEPTION_FILTER kova_host_crash_filter(LPTOP_LEVEL_EXCEPTION_FILTER filter);

// ---- System ---------------------------------------------------------------------------------

// The host system as its administrator knows it, ANSI text: on POSIX the distribution's name
// and the kernel's release ("Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64"), on
// Windows the product and its real version ("Windows Server 2019 Standard 10.0.17763").
std::string kova_host_os_name();

// Creates a new file that only its owner (and, on Windows, the administrators and the system)
// may read or write and writes `size` bytes of `data` into it (a private key, for example);
// nothing is left behind on failure. Answers a Windows error number: ERROR_FILE_EXISTS when
// the file exists.
[[nodiscard]] DWORD kova_create_private_file(std::string_view dos_path, const void *data,
                                             size_t size);

// Starts writing what was written to the file so far out to its disk and returns without
// waiting, so that the FlushFileBuffers that makes a large file durable finds most of it on
// the disk already instead of writing it all then. A hint: FALSE only for a handle that is
// no file; on Windows, whose cache writes behind on its own, it does nothing more.
BOOL kova_file_write_behind(HANDLE file);

// Hands the file (a DOS path) to the host's printing: `lp` on POSIX, the shell's "print" verb
// of the file's type on Windows. Waits up to `timeout_ms` for the spooler to take the job.
// ERROR_SUCCESS once it did; else the Windows error (ERROR_NO_ASSOCIATION when nothing prints
// files of that type, ERROR_TIMEOUT when the spooler did not answer, ERROR_GEN_FAILURE when it
// refused the job).
[[nodiscard]] DWORD kova_print_file(LPCSTR path, DWORD timeout_ms);

// ---- Shell ----------------------------------------------------------------------------------

// A verb of a file type as the registry keeps it: its name and its command line (Windows
// rules, the program by its DOS path, "%1" standing for the file).
struct KOVA_SHELL_VERB {
    LPCSTR name;
    LPCSTR command;
};

// The desktop side of a file type that the registry does not carry. On POSIX: in the user's
// data folder ($XDG_DATA_HOME, else ~/.local/share), the shared-mime-info package
// mime/packages/kova-<extension>.xml (type application/x-kova-<extension> for *.<extension>,
// described by `description`) and, when a verb is named "open", the desktop entry
// applications/<program>.desktop of that verb's program (its name without extension): opening
// a file runs the open command in a terminal and the other verbs are its actions. Written only
// in a desktop session (XDG_CURRENT_DESKTOP, WAYLAND_DISPLAY or DISPLAY set) and only when a
// file's contents differ. With `remove`, both files are deleted wherever they are. On Windows
// the registry is the whole of a file type: nothing to do. ERROR_SUCCESS with *changed
// telling whether a file was written or deleted, else the Windows error.
[[nodiscard]] DWORD kova_xdg_file_type(LPCSTR extension, LPCSTR description,
                                       const KOVA_SHELL_VERB *verbs, DWORD verb_count, BOOL remove,
                                       BOOL *changed);

// ---- Named objects --------------------------------------------------------------------------

// Whether named events, mutexes and file mappings are the system's own. On POSIX they are
// emulated through locked state files: correct, but an exchange over them costs far more than
// one over a socket, so the manager connection prefers the socket there.
bool kova_named_objects_native();

// The security attributes of the named objects a manager and its clients share. A manager runs
// as a service in session 0 under its own account, its clients in user sessions: the system,
// the administrators and every signed-on user may use such an object (wait, signal, map), but
// none but the system and the administrators may change its access list or owner. Null where
// the platform keeps no access lists of its own (POSIX: the prefix's files decide).
LPSECURITY_ATTRIBUTES kova_shared_object_security();

// The name under which this process opens an object that process `process_id` created as
// `local_name` ("Local\..."), which lives in the creator's session: on Windows, through the
// creator's session namespace when that session is not this process's own; elsewhere, where
// every process sees one namespace, the name itself.
std::string kova_object_name_of_process(std::string_view local_name, DWORD process_id);

// ---- Mail -----------------------------------------------------------------------------------

// Whether the MAPI32.DLL found at `dos_path` reaches a mail client. The one in the system's
// folder is a stub that hands every call to the mail client registered as the default, and
// without one it reports failure, shows a box of its own or (Wine's) opens a mailto: link
// nobody handles and answers success; Wine's own default client, which drops attachments,
// counts as none. A MAPI32.DLL elsewhere is a mail client's own. On POSIX the platform's
// built-in one is found only when its client is there.
bool kova_mapi_reaches_client(std::string_view dos_path);

// ---- Services -------------------------------------------------------------------------------

// A handle of the service control manager or of one service, closed when it goes.
struct kova_service_handle_close {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};
using kova_service_handle =
    std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, kova_service_handle_close>;

// What a manager program does as a service: `start` prepares it to serve (0, else the
// process's exit status), `run` serves until `stop` is called from another thread and answers
// the exit status; `stop` asks it to end soon.
struct KOVA_SERVICE_BODY {
    int (*start)(void *context);
    int (*run)(void *context);
    void (*stop)(void *context);
    void *context;
};

// Runs the body as the service `name` when the service control manager started the process
// (Windows: StartServiceCtrlDispatcher; the service is reported running once `start`
// succeeded, stop and shutdown controls call `stop`, and it is reported stopped with the exit
// status once `run` returns), else as a console program on the calling thread, with `stop`
// called by the console control events (Ctrl-C, Ctrl-Break, closing the console and, on
// POSIX, the SIGTERM by which this platform's service control stops a service). Answers the
// exit status.
int kova_service_main(LPCSTR name, const KOVA_SERVICE_BODY &body);
