// Sending a message: the attachment check, the mail client through Simple MAPI inside its
// logon frame and status window, and the fallback to the SMTP page.
#include "kernel/mail/mail.h"
#include "kernel/mail/mail_parts.h"

#include "kernel/files/install.h"
#include "kernel/ui/box.h"

#include <string>
#include <vector>

namespace {

std::string installation_value(const char *key) {
    std::string value;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "smtp", key, "", value);
    return value;
}

// The page's body: carriage returns become the text field's line breaks, line feeds go, and
// trailing Ctrl-Z characters (old end-of-file marks) are dropped.
std::string page_body(const char *body) {
    std::string text(body ? body : "");
    if (text.size() > DXK_MAIL_SMTP_BODY_MAX) text.resize(DXK_MAIL_SMTP_BODY_MAX);
    while (!text.empty() && text.back() == 0x1A) text.pop_back();
    std::string out;
    for (char c : text) {
        if (c == '\n') continue;
        if (c == '\r')
            out += "\r\n";
        else
            out += c;
    }
    return out;
}

} // namespace

int fxk_mail_send(const char *recipients, const char *subject, const char *body,
                  const char *attachments, const char *display_names, uint16_t flags) {
    return fxk_mail_send_full(recipients, nullptr, nullptr, subject, body, attachments,
                              display_names, flags);
}

int fxk_mail_send_full(const char *recipients, const char *originator_address,
                       const char *originator_name, const char *subject, const char *body,
                       const char *attachments, const char *display_names, uint16_t flags) {
    // Every attachment must open exclusively, so nothing that is still being written goes out.
    std::vector<std::string> paths = fxk_mail_split(attachments ? attachments : "");
    for (const std::string &path : paths) {
        TXI_FILE file;
        if (file.open(path.c_str(), DXI_FILE_READ)) {
            fxp_msg_errorf("Unable to open mail attachment %str% - %str% - mail send aborted",
                           path.c_str(), file.error_text());
            return 0;
        }
        (void)file.close(); // opened for reading
    }

    if (!(flags & DXK_MAIL_SMTP_ONLY)) {
        // Some mail clients change an attachment's attributes; they are put back.
        std::vector<DWORD> attributes;
        for (const std::string &path : paths)
            attributes.push_back(GetFileAttributesA(path.c_str()));
        bool sent = false;
        uint16_t code =
            fxk_mapi_send_framed(recipients, originator_address, originator_name, subject, body,
                                 attachments, display_names, flags & DXK_MAIL_DIALOG, &sent);
        for (size_t i = 0; i < paths.size(); ++i) {
            if (attributes[i] != INVALID_FILE_ATTRIBUTES &&
                GetFileAttributesA(paths[i].c_str()) != attributes[i])
                SetFileAttributesA(paths[i].c_str(), attributes[i]);
        }
        // A message the client took stays sent even when the logoff after it failed: falling
        // back to SMTP then would send it twice.
        if (code == 0 || sent || fxk_mapi_last_result() == MAPI_USER_ABORT) return 1;
    }

    TXK_SMTP_MESSAGE message;
    message.server = installation_value("server");
    std::string domain = installation_value("domain");
    if (message.server.empty() || domain.empty()) {
        fxp_msg_error("Could not read SMTP details from kova.ini");
        return 0;
    }
    message.bcc = installation_value("bcc");
    if (!message.bcc.empty() && message.bcc.find('@') == std::string::npos)
        message.bcc += "@" + domain;
    if (originator_address && *originator_address) {
        message.from = originator_address;
        if (originator_name && *originator_name)
            message.from = std::string(originator_name) + " <" + message.from + ">";
    } else {
        message.from = "@" + domain;
    }
    message.to = recipients ? recipients : "";
    message.subject = subject ? subject : "";
    message.body = page_body(body);
    message.attachments = attachments ? attachments : "";
    message.display_names = display_names ? display_names : "";
    return fxk_smtp_page(std::move(message));
}
