// The built-in MAPI32.DLL: Simple MAPI over xdg-email, which opens the desktop's mail client
// with the message filled in. The client always shows the message for the user to complete
// and send, as MAPI_DIALOG asks; there is no way to send without it, nor to learn whether the
// user sent it, so a message handed over counts as sent.
#include "platform/mapi.h"
#include "platform/host.h"
#include "platform/win32.h"

#include "module_internal.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr const char *mail_client = "xdg-email";

std::mutex state_mutex;
std::set<LHANDLE> sessions;
LHANDLE next_session = 1;

// A resolved recipient: one allocation that MAPIFreeBuffer releases.
struct Resolved {
    MapiRecipDesc desc{};
    std::string name, address;
};
std::set<void *> allocations;

bool client_on_path() {
    const char *path = std::getenv("PATH");
    std::string_view rest(path ? path : "");
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + mail_client;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

bool valid_session(LHANDLE session) {
    std::lock_guard lock(state_mutex);
    return session == 0 || sessions.count(session) != 0;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

// The address of a recipient record: its address without an "SMTP:" type, else its name.
std::string address_of(const MapiRecipDesc &recipient) {
    std::string_view address = recipient.lpszAddress ? recipient.lpszAddress : "";
    if (address.size() >= 5 && (address.substr(0, 5) == "SMTP:" || address.substr(0, 5) == "smtp:"))
        address.remove_prefix(5);
    if (address.empty() && recipient.lpszName) address = recipient.lpszName;
    return trimmed(address);
}

// Runs the mail client with `args` and answers its exit status, or -1 when it did not run.
int run_client(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, mail_client, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ULONG WINAPI logon(ULONG_PTR, LPSTR, LPSTR, FLAGS, ULONG, LPLHANDLE session) {
    if (!session) return MAPI_E_FAILURE;
    std::lock_guard lock(state_mutex);
    *session = next_session++;
    sessions.insert(*session);
    return SUCCESS_SUCCESS;
}

ULONG WINAPI logoff(LHANDLE session, ULONG_PTR, FLAGS, ULONG) {
    std::lock_guard lock(state_mutex);
    return sessions.erase(session) ? SUCCESS_SUCCESS : MAPI_E_INVALID_SESSION;
}

// Without an address book, a name resolves only when it holds an address: "a@b.c" or
// "Name <a@b.c>".
ULONG WINAPI resolve_name(LHANDLE session, ULONG_PTR, LPSTR name, FLAGS, ULONG,
                          lpMapiRecipDesc *recipient) {
    if (!recipient || !name) return MAPI_E_FAILURE;
    if (!valid_session(session)) return MAPI_E_INVALID_SESSION;
    std::string text = trimmed(name);
    std::string address = text;
    size_t open = text.find('<'), close = text.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open)
        address = trimmed(std::string_view(text).substr(open + 1, close - open - 1));
    if (address.find('@') == std::string::npos) return MAPI_E_UNKNOWN_RECIPIENT;
    auto *resolved = new Resolved;
    resolved->name = text;
    resolved->address = "SMTP:" + address;
    resolved->desc.ulRecipClass = MAPI_TO;
    resolved->desc.lpszName = resolved->name.data();
    resolved->desc.lpszAddress = resolved->address.data();
    {
        std::lock_guard lock(state_mutex);
        allocations.insert(resolved);
    }
    // The record is the allocation's first member, so its address is the buffer's.
    *recipient = &resolved->desc;
    return SUCCESS_SUCCESS;
}

ULONG WINAPI free_buffer(LPVOID buffer) {
    std::lock_guard lock(state_mutex);
    if (!allocations.erase(buffer)) return MAPI_E_FAILURE;
    delete static_cast<Resolved *>(buffer);
    return SUCCESS_SUCCESS;
}

ULONG WINAPI send_mail(LHANDLE session, ULONG_PTR, lpMapiMessage message, FLAGS, ULONG) {
    if (!message) return MAPI_E_FAILURE;
    if (!valid_session(session)) return MAPI_E_INVALID_SESSION;
    std::vector<std::string> args{mail_client, "--utf8"};
    std::vector<std::string> to;
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
        const MapiRecipDesc &recipient = message->lpRecips[i];
        std::string address = kova_utf8_from_ansi(address_of(recipient));
        if (address.empty() || address.front() == '-') return MAPI_E_INVALID_RECIPS;
        switch (recipient.ulRecipClass) {
        case MAPI_TO:
            to.push_back(address);
            break;
        case MAPI_CC:
            args.insert(args.end(), {"--cc", address});
            break;
        case MAPI_BCC:
            args.insert(args.end(), {"--bcc", address});
            break;
        default:
            return MAPI_E_BAD_RECIPTYPE;
        }
    }
    if (message->lpszSubject && *message->lpszSubject)
        args.insert(args.end(), {"--subject", kova_utf8_from_ansi(message->lpszSubject)});
    if (message->lpszNoteText && *message->lpszNoteText)
        args.insert(args.end(), {"--body", kova_utf8_from_ansi(message->lpszNoteText)});
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const char *path = message->lpFiles[i].lpszPathName;
        char full[MAX_PATH * 4];
        DWORD n = path ? GetFullPathNameA(path, sizeof full, full, nullptr) : 0;
        std::string host =
            n > 0 && n < sizeof full ? kova_host_from_dos(std::string_view(full, n)) : "";
        struct stat st;
        if (host.empty() || stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return MAPI_E_ATTACHMENT_NOT_FOUND;
        args.insert(args.end(), {"--attach", host});
    }
    args.insert(args.end(), to.begin(), to.end());
    return run_client(args) == 0 ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
}

// Through a function of no arguments, the one cast of function types that is never suspect.
template <typename Function> FARPROC exported(Function *function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const kova_export exports[] = {
    {"MAPILogon", exported(logon)},
    {"MAPILogoff", exported(logoff)},
    {"MAPISendMail", exported(send_mail)},
    {"MAPIResolveName", exported(resolve_name)},
    {"MAPIFreeBuffer", exported(free_buffer)},
};

} // namespace

const kova_builtin_module kova_builtin_mapi32 = {"MAPI32.DLL", client_on_path, exports,
                                                 sizeof exports / sizeof exports[0]};

bool kova_mapi_reaches_client(std::string_view) {
    // Found on the search path only when xdg-email is there.
    return true;
}
