// A mail client's MAPI32.DLL for the mail tests on Windows, found before the system's own
// because it sits next to the test programs. It records every call it is given into the file
// named by KOVA_TEST_MAPI_RECORD, and fails as KOVA_TEST_MAPI_FAIL asks (a comma-separated
// list): logon (every logon), logon-silent (a logon without user interface), logon-abort (the
// user cancels the logon dialog),
// resolve-ambiguous (until the user is asked), resolve-efail (E_FAIL with the record filled,
// as Windows 7 and later answer), send, send-abort, free, logoff.
//
// A record is a list of NUL-ended tokens: "@call", then a name token and its value tokens.
#include <windows.h>

#include <mapi.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace {

std::mutex state_mutex;
std::set<LHANDLE> sessions;
LHANDLE next_session = 1000;
std::set<void *> allocations;

std::string environment(const char *name) {
    char value[1024] = {};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool failing(std::string_view mode) {
    std::string list = "," + environment("KOVA_TEST_MAPI_FAIL") + ",";
    return list.find("," + std::string(mode) + ",") != std::string::npos;
}

class Record {
public:
    explicit Record(const char *call) { token(std::string("@") + call); }
    ~Record() {
        std::string path = environment("KOVA_TEST_MAPI_RECORD");
        if (path.empty()) return;
        HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        WriteFile(file, text_.data(), static_cast<DWORD>(text_.size()), &written, nullptr);
        CloseHandle(file);
    }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;

    Record &token(std::string_view value) {
        text_.append(value);
        text_ += '\0';
        return *this;
    }
    // A text the caller may leave out: "(null)" then.
    Record &text(const char *value) { return token(value ? value : "(null)"); }
    Record &number(unsigned long long value) { return token(std::to_string(value)); }

private:
    std::string text_;
};

bool valid_session(LHANDLE session) {
    std::lock_guard lock(state_mutex);
    return sessions.count(session) != 0;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

HMODULE self() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&next_session), &module);
    return module;
}

// Behind the system's MAPI32.DLL, as the registered mail client, the caller releases records
// with that library's MAPIFreeBuffer, which frees only what its MAPIAllocateBuffer gave.
using AllocateBuffer = LONG WINAPI(ULONG size, LPVOID *buffer);
AllocateBuffer *system_allocator() {
    HMODULE system = GetModuleHandleA("MAPI32.DLL");
    if (!system || system == self()) return nullptr;
    return reinterpret_cast<AllocateBuffer *>(
        reinterpret_cast<void (*)()>(GetProcAddress(system, "MAPIAllocateBuffer")));
}

// One allocation holding the record and its two texts, as MAPIFreeBuffer releases it.
MapiRecipDesc *new_recipient(const std::string &name, const std::string &address) {
    size_t size = sizeof(MapiRecipDesc) + name.size() + 1 + address.size() + 1;
    char *block = nullptr;
    AllocateBuffer *allocate = system_allocator();
    if (allocate) {
        void *buffer = nullptr;
        if (allocate(static_cast<ULONG>(size), &buffer) != 0 || !buffer) return nullptr;
        block = static_cast<char *>(buffer);
        std::memset(block, 0, size);
    } else {
        block = static_cast<char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    }
    if (!block) return nullptr;
    auto *recipient = reinterpret_cast<MapiRecipDesc *>(block);
    char *texts = block + sizeof(MapiRecipDesc);
    std::memcpy(texts, name.c_str(), name.size() + 1);
    std::memcpy(texts + name.size() + 1, address.c_str(), address.size() + 1);
    recipient->ulRecipClass = MAPI_TO;
    recipient->lpszName = texts;
    recipient->lpszAddress = texts + name.size() + 1;
    if (!allocate) {
        std::lock_guard lock(state_mutex);
        allocations.insert(block);
    }
    return recipient;
}

} // namespace

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPILogon(ULONG_PTR, LPSTR profile, LPSTR password, FLAGS flags, ULONG, LPLHANDLE session) {
    Record record("logon");
    record.token("flags")
        .number(flags)
        .token("profile")
        .text(profile)
        .token("password")
        .text(password);
    if (!session) return MAPI_E_FAILURE;
    // A logon that needs the user (logon-abort, logon-silent) fails without user interface.
    bool ui = flags & MAPI_LOGON_UI;
    if (failing("logon") || (!ui && (failing("logon-silent") || failing("logon-abort"))))
        return MAPI_E_LOGON_FAILURE;
    if (failing("logon-abort")) return MAPI_USER_ABORT;
    std::lock_guard lock(state_mutex);
    *session = next_session++;
    sessions.insert(*session);
    record.token("session").number(*session);
    return SUCCESS_SUCCESS;
}

extern "C" __declspec(dllexport) ULONG WINAPI MAPILogoff(LHANDLE session, ULONG_PTR, FLAGS, ULONG) {
    Record record("logoff");
    record.token("session").number(session);
    if (failing("logoff")) return MAPI_E_FAILURE;
    std::lock_guard lock(state_mutex);
    return sessions.erase(session) ? SUCCESS_SUCCESS : MAPI_E_INVALID_SESSION;
}

// Without an address book a name resolves only when it holds an address: "a@b.c" or
// "Name <a@b.c>".
extern "C" __declspec(dllexport) ULONG WINAPI
    MAPIResolveName(LHANDLE session, ULONG_PTR, LPSTR name, FLAGS flags, ULONG,
                    lpMapiRecipDesc *recipient) {
    Record record("resolve");
    record.token("session").number(session).token("flags").number(flags).token("name").text(name);
    if (!recipient || !name) return MAPI_E_FAILURE;
    *recipient = nullptr;
    if (!valid_session(session)) return MAPI_E_INVALID_SESSION;
    if (failing("resolve-ambiguous") && !(flags & MAPI_DIALOG)) return MAPI_E_AMBIGUOUS_RECIPIENT;
    std::string text = trimmed(name);
    std::string address = text;
    size_t open = text.find('<'), close = text.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open)
        address = trimmed(std::string_view(text).substr(open + 1, close - open - 1));
    if (address.find('@') == std::string::npos) return MAPI_E_UNKNOWN_RECIPIENT;
    *recipient = new_recipient(text, "SMTP:" + address);
    if (!*recipient) return MAPI_E_INSUFFICIENT_MEMORY;
    return failing("resolve-efail") ? 0x80004005u : SUCCESS_SUCCESS;
}

extern "C" __declspec(dllexport) ULONG WINAPI MAPIFreeBuffer(LPVOID buffer) {
    Record record("free");
    {
        std::lock_guard lock(state_mutex);
        if (!allocations.erase(buffer)) return MAPI_E_FAILURE;
    }
    HeapFree(GetProcessHeap(), 0, buffer);
    return failing("free") ? MAPI_E_FAILURE : SUCCESS_SUCCESS;
}

extern "C" __declspec(dllexport) ULONG WINAPI
    MAPISendMail(LHANDLE session, ULONG_PTR, lpMapiMessage message, FLAGS flags, ULONG) {
    Record record("send");
    record.token("session").number(session).token("flags").number(flags);
    if (!message) return MAPI_E_FAILURE;
    if (!valid_session(session)) return MAPI_E_INVALID_SESSION;
    record.token("subject").text(message->lpszSubject);
    record.token("body").text(message->lpszNoteText);
    if (const MapiRecipDesc *from = message->lpOriginator)
        record.token("from")
            .number(from->ulRecipClass)
            .text(from->lpszName)
            .text(from->lpszAddress);
    for (ULONG i = 0; i < message->nRecipCount; ++i) {
        const MapiRecipDesc &to = message->lpRecips[i];
        record.token("to").number(to.ulRecipClass).text(to.lpszName).text(to.lpszAddress);
    }
    for (ULONG i = 0; i < message->nFileCount; ++i) {
        const MapiFileDesc &file = message->lpFiles[i];
        record.token("file").number(file.nPosition).text(file.lpszPathName).text(file.lpszFileName);
    }
    if (failing("send-abort")) return MAPI_USER_ABORT;
    return failing("send") ? MAPI_E_FAILURE : SUCCESS_SUCCESS;
}
