// The "SMTP Email" page: the message's server, addresses, subject, body and attachments for
// the user to complete, sent over SMTP when the user presses Send.
#include "kernel/mail/mail.h"

#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/ui/box.h"
#include "kernel/ui/prog.h"
#include "kernel/ui/tin.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A value of section smtp of the kova.ini in the current directory.
std::string current_directory_value(const char *key) {
    char folder[DXI_PATH_BUFFER];
    std::string file = std::string(fxi_dir_current(folder)) + "kova.ini";
    std::vector<char> value(1025);
    DWORD n = GetPrivateProfileStringA("smtp", key, "", value.data(),
                                       static_cast<DWORD>(value.size()), file.c_str());
    return std::string(value.data(), n);
}

std::string installation_value(const char *key) {
    std::string value;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "smtp", key, "", value);
    return value;
}

// Empty fields take what the configuration has.
void fill_from_configuration(TXK_SMTP_MESSAGE *message) {
    if (message->server.empty()) message->server = current_directory_value("server");
    if (message->from.empty()) message->from = current_directory_value("from");
    message->username = current_directory_value("username");
    message->password = current_directory_value("password");
    if (message->username.empty()) {
        message->username = installation_value("username");
        message->password = installation_value("password");
    }
}

// One text field of the page and the buffer behind it.
struct PageText {
    const char *label;
    std::string *value;
    size_t room;
    bool required;
    std::vector<char> buffer;
};

std::string without_trailing_blanks(const std::vector<char> &buffer) {
    size_t n = buffer.size();
    while (n > 0 && (buffer[n - 1] == ' ' || buffer[n - 1] == '\0')) --n;
    return std::string(buffer.data(), n);
}

// Shows the page once; true when the user pressed Send, with the typed values taken back.
bool run_page(TXK_SMTP_MESSAGE *message) {
    std::vector<PageText> texts = {
        {"SMTP server", &message->server, 128, true, {}},
        {"To", &message->to, DXK_MAIL_NAME_MAX, true, {}},
        {"Copy to", &message->cc, DXK_MAIL_NAME_MAX, false, {}},
        {"Blind copy to", &message->bcc, DXK_MAIL_NAME_MAX, false, {}},
        {"From", &message->from, 256, true, {}},
        {"Subject", &message->subject, 256, false, {}},
        {"Message", &message->body, DXK_MAIL_SMTP_BODY_MAX, false, {}},
        {"Attachment", &message->attachments, DXI_FILE_NAME_MAX, false, {}},
    };
    std::vector<TXP_TIN_ICB> fields;
    for (PageText &text : texts) {
        // A longer value than the usual room keeps all of itself.
        size_t length = std::min<size_t>(std::max(text.room, text.value->size()), 0xFFFF);
        text.buffer.assign(length, ' ');
        std::memcpy(text.buffer.data(), text.value->data(), std::min(length, text.value->size()));
        TXP_TIN_ICB field;
        field.label = text.label;
        field.kind = 'K';
        field.type = 'L';
        field.value = text.buffer.data();
        field.length = static_cast<uint16_t>(length);
        field.width = 60;
        if (text.required) {
            field.spec = "!|...|";
            field.flags = DXP_TIN_VALIDATE;
        }
        fields.push_back(field);
    }
    TXP_TIN_ICB buttons;
    buttons.kind = 'K';
    buttons.type = 'Z';
    buttons.spec = "&Send|1|Cancel|0|";
    buttons.flags = DXP_TIN_ALWAYS_USABLE;
    buttons.handler = fxp_tin_buttons;
    buttons.exit_check = fxp_tin_buttons_exit;
    fields.push_back(buttons);

    TXP_TIN_T page;
    page.fields = fields.data();
    page.count = static_cast<uint16_t>(fields.size());
    if (fxp_tin_prompt(&page, "SMTP Email") != 1) return false;
    for (PageText &text : texts) *text.value = without_trailing_blanks(text.buffer);
    return true;
}

} // namespace

uint16_t fxk_smtp_page(TXK_SMTP_MESSAGE message) {
    fill_from_configuration(&message);
    while (run_page(&message)) {
        std::string error;
        bool sent;
        {
            CXP_PWIN wait;
            wait.open(nullptr, nullptr, 0, 0, "Sending eMail");
            wait.linef("Sending the message to %str%", message.server.c_str());
            sent = fxk_smtp_send(message, &error);
        }
        if (sent) return 1;
        // The page comes back with everything typed, so the user can correct it or cancel.
        fxp_msg_errorf("Unable to send the message - %str%", error.c_str());
    }
    return 0;
}
