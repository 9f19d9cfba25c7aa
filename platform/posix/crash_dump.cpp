// The built-in dbghelp.dll: MiniDumpWriteDump writes the postmortem file of the running process
// as a text report (program, signal and addresses, backtrace, memory map), which is what a
// host without minidumps can offer to whoever reads it.
#include "platform/host.h"
#include "platform/win32.h"

#include "crash_internal.h"
#include "module_internal.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string hex_address(const void *address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016" PRIxPTR, reinterpret_cast<uintptr_t>(address));
    return text;
}

const char *signal_name(int signal_number) {
    switch (signal_number) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGILL:
        return "SIGILL";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

std::string heading() {
    std::string text = "Postmortem file\n";
    char program[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    text += "Program:  " + kova_utf8_from_ansi(program) + "\n";
    text += "Process:  " + std::to_string(getpid()) + "\n";
    time_t now = time(nullptr);
    struct tm local {};
    char stamp[64] = {};
    if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %z", &local);
    text += "Written:  " + std::string(stamp) + "\n";
    text += "Host:     " + kova_utf8_from_ansi(kova_host_os_name()) + "\n";
    return text;
}

std::string fault(const MINIDUMP_EXCEPTION_INFORMATION *exception, const void **instruction) {
    std::string text =
        "Thread:   " + std::to_string(exception ? exception->ThreadId : GetCurrentThreadId()) +
        "\n";
    const EXCEPTION_POINTERS *pointers = exception ? exception->ExceptionPointers : nullptr;
    if (!pointers || !pointers->ExceptionRecord) {
        text += "Signal:   none; written on request while the program ran\n";
        return text;
    }
    const EXCEPTION_RECORD &record = *pointers->ExceptionRecord;
    const CONTEXT *context = pointers->ContextRecord;
    if (context) {
        text += "Signal:   " + std::to_string(context->signal_number) + " (" +
                signal_name(context->signal_number) + ": " + strsignal(context->signal_number) +
                ")";
        if (context->info) text += ", code " + std::to_string(context->info->si_code);
        text += "\n";
    }
    char code[16];
    std::snprintf(code, sizeof code, "%08X", record.ExceptionCode);
    text += "Exception: " + std::string(code) + "\n";
    *instruction = record.ExceptionAddress;
    text += "Instruction: " + hex_address(record.ExceptionAddress) + "\n";
    if (record.NumberParameters >= 2)
        text += "Address:  " +
                hex_address(reinterpret_cast<const void *>(record.ExceptionInformation[1])) + "\n";
    return text;
}

// The calling thread's frames, from the faulting one when it is among them (the frames above it
// are the crash handler's own).
std::string frames(const void *instruction) {
    void *addresses[128];
    int count = backtrace(addresses, 128);
    int first = 0;
    for (int i = 0; instruction && i < count; ++i)
        if (addresses[i] == instruction) {
            first = i;
            break;
        }
    std::string text = "\nBacktrace:\n";
    char **symbols = backtrace_symbols(addresses, count);
    for (int i = first; i < count; ++i) {
        text += "  #" + std::to_string(i - first) + " " +
                (symbols ? std::string(symbols[i]) : hex_address(addresses[i])) + "\n";
    }
    std::free(symbols);
    return text;
}

std::string memory_map() {
    std::string text = "\nMemory map:\n";
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text + "  (not available)\n";
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

BOOL WINAPI mini_dump_write_dump(HANDLE process, DWORD process_id, HANDLE file, MINIDUMP_TYPE,
                                 PMINIDUMP_EXCEPTION_INFORMATION exception,
                                 MINIDUMP_USER_STREAM_INFORMATION *,
                                 MINIDUMP_CALLBACK_INFORMATION *) {
    // Only the running process can describe itself.
    if (process != GetCurrentProcess() || process_id != GetCurrentProcessId()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const void *instruction = nullptr;
    std::string text = heading();
    text += fault(exception, &instruction);
    text += frames(instruction);
    text += memory_map();
    size_t done = 0;
    while (done < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote,
                       nullptr) ||
            wrote == 0)
            return FALSE;
        done += wrote;
    }
    return TRUE;
}

LPAPI_VERSION WINAPI imagehlp_api_version() {
    static API_VERSION version{10, 0, 0, 0};
    return &version;
}

bool always() {
    return true;
}

template <typename Function> FARPROC exported(Function function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const kova_export exports[] = {
    {"ImagehlpApiVersion", exported(imagehlp_api_version)},
    {"MiniDumpWriteDump", exported(mini_dump_write_dump)},
};

} // namespace

const kova_builtin_module kova_builtin_dbghelp = {"DBGHELP.DLL", always, exports,
                                                  sizeof exports / sizeof exports[0]};
