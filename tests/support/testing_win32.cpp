// Test support on Windows, and under Wine: the environment, real drive mappings, program runs
// through CreateProcess. There is no pseudo-terminal here; tests of the terminal presenter run
// on POSIX hosts.
#include "tests/support/testing.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace kova_test {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged.
std::string quote_argument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') backslashes = backslashes * 2 + 1;
        out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string command_line(const std::vector<std::string> &argv) {
    std::string line;
    for (const auto &arg : argv) line += (line.empty() ? "" : " ") + quote_argument(arg);
    return line;
}

// The current environment with `extra` laid over it, as CreateProcess wants it: sorted
// NAME=value strings, each ended by a NUL, and one more NUL at the end.
std::string environment_block(const std::map<std::string, std::string> &extra) {
    std::map<std::string, std::string> all;
    if (char *strings = GetEnvironmentStringsA()) {
        for (const char *entry = strings; *entry; entry += std::strlen(entry) + 1) {
            const char *eq = std::strchr(entry + 1, '='); // "=C:=C:\..." entries start with '='
            if (eq) all[std::string(entry, eq)] = eq + 1;
        }
        FreeEnvironmentStringsA(strings);
    }
    for (const auto &[name, value] : extra) all[name] = value;
    std::string block;
    for (const auto &[name, value] : all) block += name + "=" + value + '\0';
    return block + '\0';
}

struct Started {
    Handle process;
    DWORD id = 0;
};

// What kind of program a start runs: a Windows program, or under Wine a host program (such as
// /bin/ln), which comes back without process or thread handles of its own.
enum class ProgramKind { windows, host };

Started start(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
              const std::string &cwd, HANDLE in, HANDLE out, HANDLE err, DWORD flags = 0,
              ProgramKind kind = ProgramKind::windows) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    // A Windows program names itself by the path it was started with: give it the system's
    // backslashes (a host program, such as /bin/ln under Wine, keeps its own path).
    std::vector<std::string> args = argv;
    if (!args.empty() && args[0].size() > 2 && args[0][1] == ':') args[0] = native_path(args[0]);
    std::string line = command_line(args);
    std::string block = environment_block(env);
    // Only the handles given here are the child's: this program's own standard handles (the
    // pipe CTest reads, for one) would otherwise go with every inheritable handle, and a child
    // that outlives this program, or one Wine keeps a while after a crash, holds CTest's
    // output open until the test times out.
    static const bool own_handles_kept = [] {
        for (DWORD id : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
            SetHandleInformation(GetStdHandle(id), HANDLE_FLAG_INHERIT, 0);
        return true;
    }();
    (void)own_handles_kept;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, flags, block.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &info))
        throw std::runtime_error("cannot start " + line + " (error " +
                                 std::to_string(GetLastError()) + ")");
    // The handles Wine gives back for a host program are leftover values that may name one of
    // this process's own objects: closing them would close that object (a socket's wait event,
    // say) under its owner's feet.
    if (kind == ProgramKind::host) return {Handle(), info.dwProcessId};
    CloseHandle(info.hThread);
    return {Handle(info.hProcess), info.dwProcessId};
}

Handle null_device(DWORD access) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return Handle(CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                              0, nullptr));
}

Handle null_input() {
    return null_device(GENERIC_READ);
}

// Wine keeps its drives as links in the prefix's dosdevices folder and does not route files
// through DefineDosDevice's mappings. A Windows program under Wine can start host programs,
// so the link is made by the host's own ln.
using UnixNameFn = char *(CDECL *)(const WCHAR *);

UnixNameFn wine_unix_name() {
    static auto fn = reinterpret_cast<UnixNameFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    return fn;
}

std::string unix_name(const std::string &path) {
    std::wstring wide(fs::path(path).wstring());
    char *name = wine_unix_name()(wide.c_str());
    if (!name) throw std::runtime_error("no host name for " + path);
    std::string out(name);
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Whether the system names the drive's root by the drive itself.
bool final_path_on(const std::string &drive) {
    Handle root(CreateFileA((drive + "\\").c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (root.get() == INVALID_HANDLE_VALUE) return false;
    char name[MAX_PATH + 8] = {};
    DWORD length = GetFinalPathNameByHandleA(root.get(), name, sizeof name, FILE_NAME_NORMALIZED);
    std::string seen(name, length < sizeof name ? length : 0);
    if (seen.rfind("\\\\?\\", 0) == 0) seen.erase(0, 4);
    return seen.size() >= 2 &&
           std::toupper(static_cast<unsigned char>(seen[0])) ==
               std::toupper(static_cast<unsigned char>(drive[0])) &&
           seen[1] == ':';
}

std::string wine_drive_link(char letter) {
    std::string prefix;
    if (auto p = get_env("WINEPREFIX"))
        prefix = *p;
    else if (auto home = get_env("HOME"))
        prefix = *home + "/.wine";
    else
        throw std::runtime_error("WINEPREFIX is not set");
    return prefix + "/dosdevices/" + static_cast<char>(std::tolower(letter)) + ":";
}

void run_host(const std::vector<std::string> &argv) {
    // A host program's handle cannot be waited for under Wine: the caller checks the effect.
    Handle in = null_input(), out = null_device(GENERIC_WRITE);
    (void)start(argv, {}, {}, in.get(), out.get(), out.get(), 0, ProgramKind::host);
}

void unmap_drive(char letter) {
    std::string drive = std::string(1, letter) + ":";
    if (wine_unix_name()) {
        run_host({"/bin/rm", "-f", wine_drive_link(letter)});
        for (int i = 0;
             i < 500 && GetFileAttributesA((drive + "\\").c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(10);
    } else {
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
    }
}

// What a POSIX shell reports for a program ended by SIGKILL, which Windows does not name.
constexpr UINT killed_status = 128 + 9;

} // namespace

const char *const program_suffix = ".exe";

bool under_wine() {
    return wine_unix_name() != nullptr;
}

std::string temp_base() {
    // Wine reports no volume for a drive linked to a folder inside its own C:, and tests map
    // their temporary folders as drives: under Wine they live in the host's /tmp.
    if (wine_unix_name()) return "Z:\\tmp";
    return fs::temp_directory_path().string();
}

std::string self_program() {
    char self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    return n > 0 && n < sizeof self ? std::string(self, n) : std::string();
}

void set_env(const std::string &name, const std::string &value) {
    _putenv_s(name.c_str(), value.c_str());
}

void unset_env(const std::string &name) {
    _putenv_s(name.c_str(), ""); // an empty value removes the variable
}

// The value that names the installation for unattended runs: tests set it, and on Windows it
// would outlive them.
constexpr const char *suite_key = "Software\\KOVA Business Software";
constexpr const char *data_home_value = "ServiceDataHome";

namespace {

// The suite's file types under HKEY_CLASSES_ROOT and its folder under Program Files: tests
// register and install into them, and every run of kvpatch with arguments registers its type.
// Each prefix starts without them and puts back what was there before.
constexpr const char *suite_classes[] = {".kvb", "kvbfile", ".kvr", "kvrfile", ".kvp", "kvpfile",
                                         ".kvz", "kvzfile", ".kvs", "kvsfile", ".kvc", "kvcfile",
                                         ".kvf", "kvffile", ".kvx", "kvxfile"};
constexpr const char *saved_classes_key = "Software\\KOVA tests\\saved classes";

std::string suite_program_folder() {
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, path)))
        throw std::runtime_error("no Program Files folder");
    return std::string(path) + "\\KOVA Business Software";
}

int saved_instances = 0;

} // namespace

TempPrefix::TempPrefix() {
    env_.push_back(std::make_unique<ScopedEnv>("KOVA_UNATTENDED", "1"));
    // Nested prefixes each keep their own copy.
    saved_name_ = std::to_string(GetCurrentProcessId()) + "." + std::to_string(++saved_instances);
    std::string saved = std::string(saved_classes_key) + "\\" + saved_name_;
    for (const char *name : suite_classes) {
        HKEY from = nullptr, to = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name, 0, KEY_READ, &from) != ERROR_SUCCESS) continue;
        std::string copy = saved + "\\" + name;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, copy.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &to, nullptr) != ERROR_SUCCESS ||
            RegCopyTreeA(from, nullptr, to) != ERROR_SUCCESS)
            throw std::runtime_error(std::string("cannot save the class key ") + name);
        RegCloseKey(to);
        RegCloseKey(from);
        RegDeleteTreeA(HKEY_CLASSES_ROOT, name);
    }
    std::string folder = suite_program_folder();
    if (GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (!MoveFileA(folder.c_str(), (folder + "." + saved_name_).c_str()))
            throw std::runtime_error("cannot move " + folder + " aside");
        moved_program_folder_ = true;
    }
    char cwd[MAX_PATH] = {};
    if (GetCurrentDirectoryA(sizeof cwd, cwd) < sizeof cwd) saved_cwd_ = cwd;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, suite_key, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        had_suite_key_ = true;
        char value[1024] = {};
        DWORD size = sizeof value - 1, type = 0;
        if (RegQueryValueExA(key, data_home_value, nullptr, &type, reinterpret_cast<BYTE *>(value),
                             &size) == ERROR_SUCCESS)
            saved_data_home_ = value;
        RegCloseKey(key);
    }
}

TempPrefix::~TempPrefix() {
    if (!saved_cwd_.empty()) SetCurrentDirectoryA(saved_cwd_.c_str());
    for (char letter : drives_) unmap_drive(letter);
    std::string saved = std::string(saved_classes_key) + "\\" + saved_name_;
    for (const char *name : suite_classes) {
        RegDeleteTreeA(HKEY_CLASSES_ROOT, name);
        HKEY from = nullptr, to = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, (saved + "\\" + name).c_str(), 0, KEY_READ, &from) !=
            ERROR_SUCCESS)
            continue;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &to,
                            nullptr) == ERROR_SUCCESS) {
            RegCopyTreeA(from, nullptr, to);
            RegCloseKey(to);
        }
        RegCloseKey(from);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, saved.c_str());
    // Its parents go once no other prefix keeps anything there.
    if (RegDeleteKeyA(HKEY_CURRENT_USER, saved_classes_key) == ERROR_SUCCESS)
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\KOVA tests");
    std::error_code ignored;
    std::string folder = suite_program_folder();
    fs::remove_all(folder, ignored);
    if (moved_program_folder_) MoveFileA((folder + "." + saved_name_).c_str(), folder.c_str());
    HKEY key = nullptr;
    if (!had_suite_key_) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, suite_key);
    } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, suite_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                               &key, nullptr) == ERROR_SUCCESS) {
        if (saved_data_home_)
            RegSetValueExA(key, data_home_value, 0, REG_SZ,
                           reinterpret_cast<const BYTE *>(saved_data_home_->c_str()),
                           static_cast<DWORD>(saved_data_home_->size() + 1));
        else
            RegDeleteValueA(key, data_home_value);
        RegCloseKey(key);
    }
}

std::string registry_stamp(const TempPrefix &, const std::vector<std::string> &class_keys) {
    std::string stamp;
    for (const std::string &name : class_keys) {
        HKEY key = nullptr;
        FILETIME written{};
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, name.c_str(), 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, &written);
            RegCloseKey(key);
        }
        stamp += std::to_string(written.dwHighDateTime) + ":" +
                 std::to_string(written.dwLowDateTime) + " ";
    }
    // A write made after this gets a later time than any already there.
    Sleep(20);
    return stamp;
}

std::string TempPrefix::drive_cwd(char letter, const std::string &) {
    return std::string(1, letter) + ":\\";
}

std::string TempPrefix::map_drive(char letter, const std::string &target) {
    std::string dir = target.empty() ? dir_ / (std::string("drive_") + letter) : target;
    fs::create_directories(dir);
    std::string drive = std::string(1, letter) + ":";
    if (drives_.find(letter) == std::string::npos) {
        // Replacing a drive of the host (the system's C:, a share) would break every program
        // started after this test, Wine itself included.
        if (GetFileAttributesA((drive + "\\").c_str()) != INVALID_FILE_ATTRIBUTES)
            throw std::runtime_error("drive " + drive + " is in use on this host");
        drives_ += letter;
    }
    if (!wine_unix_name()) {
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, drive.c_str(), nullptr);
        if (!DefineDosDeviceA(0, drive.c_str(), fs::path(dir).make_preferred().string().c_str()))
            throw std::runtime_error("cannot map drive " + drive);
        return dir;
    }
    // A marker seen through the drive tells the new link is in place, not an old one.
    std::string marker = "kova-drive-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount64());
    write_file(dir + "/" + marker, "");
    run_host({"/bin/ln", "-sfn", unix_name(dir), wine_drive_link(letter)});
    std::string seen = drive + "\\" + marker;
    int waited = 0;
    while (GetFileAttributesA(seen.c_str()) == INVALID_FILE_ATTRIBUTES && waited < 10000) {
        Sleep(10);
        waited += 10;
    }
    DeleteFileA((dir + "/" + marker).c_str());
    if (waited >= 10000) throw std::runtime_error("drive " + drive + " did not appear");
    // Files are reachable through a new drive before Wine's mount manager names them by it:
    // until then a final path may come back through Z: instead, and a tree's final path
    // would not contain its own files'. Waited for, not required.
    for (int tries = 0; tries < 200 && !final_path_on(drive); ++tries) Sleep(10);
    return dir;
}

TimeZone::TimeZone(const char *zone) {
    zone_.emplace("TZ", zone);
    _tzset();
}

TimeZone::~TimeZone() {
    zone_.reset();
    _tzset();
}

RunResult run(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
              const std::string &input, const std::string &cwd) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
    if (!CreatePipe(&in_read, &in_write, &sa, 0) || !CreatePipe(&out_read, &out_write, &sa, 0) ||
        !CreatePipe(&err_read, &err_write, &sa, 0))
        throw std::runtime_error("CreatePipe failed");
    Handle in_r(in_read), in_w(in_write), out_r(out_read), out_w(out_write), err_r(err_read),
        err_w(err_write);
    // Only the child's ends are inherited.
    for (HANDLE own : {in_write, out_read, err_read})
        SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    Started child = start(argv, env, cwd, in_read, out_write, err_write);
    in_r.reset();
    out_w.reset();
    err_w.reset();

    // Input goes in from a thread of its own, which closes the pipe after it so that the child
    // sees the end: a child that reads nothing until it has written a full pipe would otherwise
    // wait on this one.
    std::thread writer([&input, &in_w, in = in_write] {
        for (size_t written = 0; written < input.size();) {
            DWORD n = 0;
            if (!WriteFile(in, input.data() + written,
                           static_cast<DWORD>(std::min<size_t>(input.size() - written, 65536)), &n,
                           nullptr) ||
                n == 0)
                break;
            written += n;
        }
        in_w.reset();
    });

    // Output is read until the child has exited and its pipes are empty, not until the pipes
    // close: under Wine a process the child started (or the console host) can keep a copy of
    // the write end open long after the child is gone.
    RunResult result;
    auto take = [](HANDLE from, std::string &into) {
        char buf[65536];
        DWORD avail = 0;
        while (PeekNamedPipe(from, nullptr, 0, nullptr, &avail, nullptr) && avail > 0) {
            DWORD n = 0;
            if (!ReadFile(from, buf, std::min<DWORD>(avail, sizeof buf), &n, nullptr) || n == 0)
                return;
            into.append(buf, n);
        }
    };
    for (bool exited = false; !exited;) {
        exited = WaitForSingleObject(child.process.get(), 2) == WAIT_OBJECT_0;
        take(out_read, result.out);
        take(err_read, result.err);
    }
    writer.join();
    DWORD code = 0;
    GetExitCodeProcess(child.process.get(), &code);
    result.status = static_cast<int>(code);
    // A Windows program's text output ends its lines with CR LF; the tests compare lines as
    // the POSIX host writes them.
    for (std::string *text : {&result.out, &result.err}) {
        size_t kept = 0;
        for (size_t i = 0; i < text->size(); ++i)
            if (!((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n'))
                (*text)[kept++] = (*text)[i];
        text->resize(kept);
    }
    return result;
}

Child::Child(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
             const std::string &cwd) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    Handle out(CreateFileA((dir_ / "output").c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr));
    Handle in = null_input();
    // Its own process group, so that an interrupt reaches this program alone.
    Started started =
        start(argv, env, cwd, in.get(), out.get(), out.get(), CREATE_NEW_PROCESS_GROUP);
    pid_ = static_cast<int>(started.id);
    process_ = started.process.release();
}

Child::~Child() {
    if (process_ && status_ < 0) {
        TerminateProcess(process_, killed_status);
        WaitForSingleObject(process_, 5000);
    }
    if (process_) CloseHandle(process_);
}

void Child::signal(int sig) {
    if (status_ >= 0) return;
    // An interrupt is the console's Ctrl-Break; anything else ends the program as a kill does,
    // with the status a POSIX shell would report.
    if (sig == SIGINT)
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_));
    else
        TerminateProcess(process_, static_cast<UINT>(128 + sig));
}

bool Child::running() {
    if (status_ >= 0) return false;
    if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    status_ = static_cast<int>(code);
    return false;
}

int Child::wait(std::chrono::milliseconds timeout) {
    if (status_ >= 0) return status_;
    WaitForSingleObject(process_, static_cast<DWORD>(timeout.count()));
    return running() ? -1 : status_;
}

std::string Child::output() const {
    return read_file(dir_ / "output");
}

Pty::Pty(const std::vector<std::string> &, const std::map<std::string, std::string> &,
         const std::string &) {
    throw std::runtime_error("no pseudo-terminal on this host");
}

Pty::~Pty() = default;

bool Pty::expect(const std::string &, std::chrono::milliseconds) {
    return false;
}

void Pty::send(const std::string &) {}

int Pty::wait(std::chrono::milliseconds) {
    return -1;
}

bool Pty::pump(std::chrono::milliseconds) {
    return false;
}

} // namespace kova_test
