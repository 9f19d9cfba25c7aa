// Simple MAPI: finding and loading MAPI32.DLL at run time, logging on and off, resolving
// recipients and sending a message, each answering a mail code and keeping the last MAPI
// result.
#include "kernel/mail/mail.h"
#include "kernel/mail/mail_parts.h"
#include "kernel/ui/prog.h"
#include "platform/host.h"

#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

// COM's general failure, which MAPIResolveName answers on Windows 7 and later even when it
// did resolve the name.
constexpr ULONG mapi_com_failure = 0x80004005u;

struct TXK_MAPI_STATE {
    bool found = false;
    HMODULE library = nullptr;
    LHANDLE session = 0;
    ULONG last = 0;
    bool taken = false; // the client accepted the last message handed to it
};
TXK_MAPI_STATE mapi;

// Mail clients change the current directory; every call into MAPI puts it back.
class CurrentDirectoryKept {
public:
    CurrentDirectoryKept() {
        DWORD n = GetCurrentDirectoryA(sizeof saved_, saved_);
        kept_ = n > 0 && n < sizeof saved_;
    }
    ~CurrentDirectoryKept() {
        if (kept_) SetCurrentDirectoryA(saved_);
    }
    CurrentDirectoryKept(const CurrentDirectoryKept &) = delete;
    CurrentDirectoryKept &operator=(const CurrentDirectoryKept &) = delete;

private:
    char saved_[MAX_PATH * 4];
    bool kept_ = false;
};

template <typename Function> Function *entry(const char *name) {
    if (!mapi.library) return nullptr;
    // Through a function of no arguments, the one cast of function types that is never suspect.
    return reinterpret_cast<Function *>(
        reinterpret_cast<void (*)()>(GetProcAddress(mapi.library, name)));
}

bool windows_7_or_later() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) return false;
    return version.dwMajorVersion > 6 ||
           (version.dwMajorVersion == 6 && version.dwMinorVersion >= 1);
}

// Releases resolved recipients; the result of the first failed release, else 0.
ULONG free_all(LPMAPIFREEBUFFER free_buffer, std::vector<MapiRecipDesc *> &resolved) {
    ULONG failed = SUCCESS_SUCCESS;
    for (MapiRecipDesc *record : resolved) {
        ULONG result;
        {
            CurrentDirectoryKept kept;
            result = free_buffer(record);
        }
        if (result != SUCCESS_SUCCESS && failed == SUCCESS_SUCCESS) failed = result;
    }
    resolved.clear();
    return failed;
}

} // namespace

ULONG fxk_mapi_last_result() {
    return mapi.last;
}

uint16_t fxk_mapi_logon() {
    mapi.last = 0;
    char path[MAX_PATH * 4];
    DWORD n = SearchPathA(nullptr, "MAPI32.DLL", nullptr, sizeof path, path, nullptr);
    // The system's own MAPI32.DLL is there on every Windows; without a mail client behind it
    // there is no MAPI to speak of, and the message goes by SMTP instead.
    mapi.found = n > 0 && n < sizeof path && kova_mapi_reaches_client(std::string_view(path, n));
    if (!mapi.found) return DXK_MAIL_NOT_INSTALLED;
    if (!mapi.library) mapi.library = LoadLibraryA(path);
    if (!mapi.library) return DXK_MAIL_NOT_LOADED;
    auto logon = entry<MAPILOGON>("MAPILogon");
    if (!logon) return DXK_MAIL_NO_LOGON;
    CurrentDirectoryKept kept;
    mapi.last = logon(0, nullptr, nullptr, 0, 0, &mapi.session);
    if (mapi.last != SUCCESS_SUCCESS)
        mapi.last = logon(0, nullptr, nullptr, MAPI_LOGON_UI | MAPI_NEW_SESSION, 0, &mapi.session);
    if (mapi.last == SUCCESS_SUCCESS) return 0;
    mapi.session = 0;
    return mapi.last == MAPI_USER_ABORT ? DXK_MAIL_LOGON_ABORTED : DXK_MAIL_LOGON_FAILED;
}

uint16_t fxk_mapi_logoff() {
    mapi.last = 0;
    if (!mapi.found) return DXK_MAIL_NOT_INSTALLED;
    if (!mapi.library) return DXK_MAIL_NOT_LOADED;
    if (!mapi.session) return DXK_MAIL_NOT_LOGGED_ON;
    auto logoff = entry<MAPILOGOFF>("MAPILogoff");
    if (!logoff) return DXK_MAIL_NO_LOGOFF;
    {
        CurrentDirectoryKept kept;
        mapi.last = logoff(mapi.session, 0, 0, 0);
    }
    if (mapi.last != SUCCESS_SUCCESS) return DXK_MAIL_LOGOFF_FAILED;
    mapi.session = 0;
    FreeLibrary(mapi.library);
    mapi.library = nullptr;
    return 0;
}

uint16_t fxk_mapi_resolve(const char *name, MapiRecipDesc **recipient) {
    *recipient = nullptr;
    if (!mapi.library) return DXK_MAIL_NOT_LOADED;
    if (!mapi.session) return DXK_MAIL_NOT_LOGGED_ON;
    auto resolve = entry<MAPIRESOLVENAME>("MAPIResolveName");
    if (!resolve) return DXK_MAIL_NO_RESOLVE;
    std::string text(name ? name : "");
    CurrentDirectoryKept kept;
    mapi.last = resolve(mapi.session, 0, text.data(), 0, 0, recipient);
    if (mapi.last == mapi_com_failure && windows_7_or_later() && *recipient &&
        (*recipient)->lpszAddress && *(*recipient)->lpszAddress)
        return 0;
    if (mapi.last == MAPI_E_AMBIGUOUS_RECIPIENT)
        mapi.last = resolve(mapi.session, 0, text.data(), MAPI_DIALOG, 0, recipient);
    return mapi.last == SUCCESS_SUCCESS ? 0 : DXK_MAIL_RESOLVE_FAILED;
}

uint16_t fxk_mapi_send(const char *recipients, const char *originator_address,
                       const char *originator_name, const char *subject, const char *body,
                       const char *attachments, const char *display_names, uint16_t dialog) {
    mapi.last = 0;
    mapi.taken = false;
    if (!mapi.found) return DXK_MAIL_NOT_INSTALLED;
    if (!mapi.library) return DXK_MAIL_NOT_LOADED;
    if (!mapi.session) return DXK_MAIL_NOT_LOGGED_ON;
    auto send_mail = entry<MAPISENDMAIL>("MAPISendMail");
    if (!send_mail) return DXK_MAIL_NO_SEND;

    try {
        MapiMessage message{};
        std::string subject_text(subject ? subject : "");
        if (!subject_text.empty()) message.lpszSubject = subject_text.data();

        TXK_MAIL_FILES files;
        if (uint16_t code = fxk_mail_files(attachments, display_names, &files)) return code;
        message.nFileCount = static_cast<ULONG>(files.files.size());
        message.lpFiles = files.files.empty() ? nullptr : files.files.data();

        std::string note;
        if (fxk_mail_note(body, files.files.size(), &note)) message.lpszNoteText = note.data();

        std::vector<std::string> names;
        if (uint16_t code = fxk_mail_recipients(recipients, &names)) return code;
        auto free_buffer = entry<MAPIFREEBUFFER>("MAPIFreeBuffer");
        if (!names.empty() && !free_buffer) return DXK_MAIL_NO_FREE;
        std::vector<MapiRecipDesc *> resolved;
        std::vector<MapiRecipDesc> to;
        for (const std::string &name : names) {
            MapiRecipDesc *record = nullptr;
            if (fxk_mapi_resolve(name.c_str(), &record) != 0) {
                ULONG failure = mapi.last;
                if (record) resolved.push_back(record);
                free_all(free_buffer, resolved);
                mapi.last = failure;
                return DXK_MAIL_RESOLVE_FAILED;
            }
            resolved.push_back(record);
            to.push_back(*record);
            to.back().ulRecipClass = MAPI_TO;
        }
        message.nRecipCount = static_cast<ULONG>(to.size());
        message.lpRecips = to.empty() ? nullptr : to.data();

        MapiRecipDesc originator{};
        std::string from_name(originator_name ? originator_name : "");
        std::string from_address(originator_address ? originator_address : "");
        if (!from_address.empty()) {
            originator.ulRecipClass = MAPI_ORIG;
            originator.lpszName = from_name.data();
            originator.lpszAddress = from_address.data();
            message.lpOriginator = &originator;
        }

        FLAGS flags = dialog || to.empty() ? FLAGS{MAPI_DIALOG} : FLAGS{0};
        {
            CurrentDirectoryKept kept;
            mapi.last = send_mail(mapi.session, 0, &message, flags, 0);
        }
        mapi.taken = mapi.last == SUCCESS_SUCCESS;
        if (free_buffer && !resolved.empty()) {
            if (ULONG failed = free_all(free_buffer, resolved)) {
                mapi.last = failed;
                return DXK_MAIL_FREE_FAILED;
            }
        }
        if (mapi.last == SUCCESS_SUCCESS) return 0;
        return mapi.last == MAPI_USER_ABORT ? DXK_MAIL_SEND_ABORTED : DXK_MAIL_SEND_FAILED;
    } catch (const std::bad_alloc &) {
        return DXK_MAIL_NO_MEMORY;
    }
}

uint16_t fxk_mapi_send_framed(const char *recipients, const char *originator_address,
                              const char *originator_name, const char *subject, const char *body,
                              const char *attachments, const char *display_names, uint16_t dialog,
                              bool *sent) {
    *sent = false;
    TXP_PWIN_T status;
    fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, "Preparing eMail",
                  0, nullptr, "LXPREP.AVI", 0, 0, nullptr, 0, &status);
    fxp_pwin_line(&status, "Attaching to eMail client");
    if (uint16_t code = fxk_mapi_logon()) {
        fxp_pwin_close(&status);
        return code;
    }
    fxp_pwin_line(&status, "Creating message");
    uint16_t code = fxk_mapi_send(recipients, originator_address, originator_name, subject, body,
                                  attachments, display_names, dialog);
    fxp_pwin_close(&status);
    // Once the client took the message it is sent, whatever failed after (releasing the
    // resolved recipients): falling back to SMTP would send it twice.
    *sent = mapi.taken;
    if (code == 0) {
        return fxk_mapi_logoff();
    }
    // The caller learns from the send's result whether the user cancelled.
    ULONG send_result = mapi.last;
    fxk_mapi_logoff();
    mapi.last = send_result;
    return code;
}
