// The SMTP client behind the e-mail page: the message's addresses, headers, body and
// attachments (read through the file layer) made ready for the wire and handed to the
// transfer.
#include "kernel/mail/mail.h"
#include "kernel/mail/mail_parts.h"
#include "kernel/mail/smtp_client.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// ANSI (the kernel's code page) to UTF-8, through UTF-16 as the platform converts.
std::string utf8(std::string_view ansi) {
    if (ansi.empty()) return {};
    int wide_size =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::basic_string<WCHAR> wide(static_cast<size_t>(wide_size), 0);
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                        wide_size);
    int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_size, out.data(), size, nullptr, nullptr);
    return out;
}

std::string base64(std::string_view bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
        out += digits[(group >> 18) & 63];
        out += digits[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[group & 63] : '=';
    }
    return out;
}

// A header text: as it is when plain ASCII, else an encoded word. Line breaks never reach a
// header, so no text can add headers of its own.
std::string header_text(std::string_view ansi) {
    std::string text;
    bool plain = true;
    for (char c : ansi) {
        if (c == '\r' || c == '\n') c = ' ';
        if (static_cast<unsigned char>(c) >= 0x80) plain = false;
        text += c;
    }
    return plain ? text : "=?UTF-8?B?" + base64(utf8(text)) + "?=";
}

// The entries of an address list (semicolons or commas), and the bare address of each.
std::vector<std::string> address_entries(std::string_view list) {
    std::vector<std::string> entries;
    while (!list.empty()) {
        size_t cut = list.find_first_of(";,");
        std::string_view entry = trimmed(list.substr(0, cut));
        if (!entry.empty()) entries.emplace_back(entry);
        list = cut == std::string_view::npos ? std::string_view() : list.substr(cut + 1);
    }
    return entries;
}

std::string bare_address(std::string_view entry) {
    size_t open = entry.find('<'), close = entry.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        entry = entry.substr(open + 1, close - open - 1);
    return std::string(trimmed(entry));
}

// An address list as a header: display names encoded, addresses as they are.
std::string address_header(const std::vector<std::string> &entries) {
    std::string out;
    for (const std::string &entry : entries) {
        if (!out.empty()) out += ", ";
        size_t open = entry.find('<');
        if (open != std::string::npos && open > 0) {
            out += header_text(trimmed(std::string_view(entry).substr(0, open)));
            out += " <" + bare_address(entry) + ">";
        } else {
            out += header_text(entry);
        }
    }
    return out;
}

// The body as UTF-8 with CR LF line ends whatever it came with.
std::string body_text(std::string_view ansi) {
    std::string text;
    for (size_t i = 0; i < ansi.size(); ++i) {
        char c = ansi[i];
        if (c == '\r') {
            text += "\r\n";
            if (i + 1 < ansi.size() && ansi[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    return utf8(text);
}

std::string date_header() {
    std::time_t now = std::time(nullptr);
    char text[64];
    if (std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", std::localtime(&now)) == 0)
        return {};
    return text;
}

// An attachment read through the file layer while it is encoded.
struct Attachment {
    TXI_FILE file;
    uint64_t size = 0;
};

bool fail(std::string *error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

} // namespace

bool fxk_smtp_send(const TXK_SMTP_MESSAGE &message, std::string *error) {
    std::string server(trimmed(message.server));
    if (server.empty()) return fail(error, "No SMTP server given");
    std::string url = server.find("://") == std::string::npos ? "smtp://" + server : server;
    std::vector<std::string> from_list{std::string(trimmed(message.from))};
    std::string from = bare_address(message.from);
    if (from.empty()) return fail(error, "No sender address given");
    std::vector<std::string> to = address_entries(message.to), cc = address_entries(message.cc),
                             bcc = address_entries(message.bcc);
    if (to.empty() && cc.empty() && bcc.empty()) return fail(error, "No recipient given");
    // An address goes into an SMTP command as it is: control characters would end the command.
    for (const auto *list : {&to, &cc, &bcc, &from_list})
        for (const std::string &entry : *list)
            for (char c : entry)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    return fail(error, "Invalid address " + header_text(entry));

    // Every attachment opens before anything is sent.
    std::vector<std::string> paths = fxk_mail_split(message.attachments);
    std::vector<std::string> shown = fxk_mail_split(message.display_names);
    std::vector<std::unique_ptr<Attachment>> attachments;
    for (const std::string &path : paths) {
        auto attachment = std::make_unique<Attachment>();
        if (attachment->file.open(path.c_str(), DXI_FILE_READ | DXI_FILE_SHARED) ||
            attachment->file.length(&attachment->size))
            return fail(error, "Unable to open mail attachment " + path + " - " +
                                   attachment->file.error_text());
        attachments.push_back(std::move(attachment));
    }

    TXK_SMTP_ENVELOPE envelope;
    envelope.url = url;
    envelope.mail_from = from;
    envelope.username = message.username;
    envelope.password = message.password;
    envelope.body = body_text(message.body);
    for (size_t i = 0; i < attachments.size(); ++i) {
        Attachment *attachment = attachments[i].get();
        TXK_SMTP_STREAM stream;
        stream.name = utf8(fxk_mail_file_name(i < shown.size() ? shown[i] : paths[i]));
        stream.size = attachment->size;
        stream.read = [attachment](char *buffer, size_t size) -> size_t {
            uint32_t done = 0;
            if (attachment->file.read(buffer, static_cast<uint32_t>(size), &done)) return SIZE_MAX;
            return done;
        };
        stream.rewind = [attachment] { return attachment->file.rewind() == 0; };
        envelope.attachments.push_back(std::move(stream));
    }
    std::string date = date_header();
    if (!date.empty()) envelope.headers.push_back("Date: " + date);
    envelope.headers.push_back("From: " + address_header(from_list));
    if (!to.empty()) envelope.headers.push_back("To: " + address_header(to));
    if (!cc.empty()) envelope.headers.push_back("Cc: " + address_header(cc));
    envelope.headers.push_back("Subject: " + header_text(message.subject));
    for (const auto *list : {&to, &cc, &bcc})
        for (const std::string &entry : *list) envelope.recipients.push_back(bare_address(entry));
    return fxk_smtp_transfer(envelope, error);
}
