// Splitting lists and building the attachment descriptors, note text and recipient entries
// of a message.
#include "kernel/mail/mail_parts.h"

#include "kernel/mail/mail.h"

namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool is_file(const std::string &path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::vector<std::string> fxk_mail_split(std::string_view list) {
    std::vector<std::string> items;
    while (!list.empty()) {
        size_t cut = list.find(';');
        std::string_view item = list.substr(0, cut);
        if (!item.empty()) items.emplace_back(item);
        list = cut == std::string_view::npos ? std::string_view() : list.substr(cut + 1);
    }
    return items;
}

std::string fxk_mail_file_name(std::string_view path) {
    size_t cut = path.find_last_of("\\/:");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

uint16_t fxk_mail_files(const char *attachments, const char *display_names, TXK_MAIL_FILES *out) {
    *out = TXK_MAIL_FILES{};
    out->paths = fxk_mail_split(attachments ? attachments : "");
    std::vector<std::string> shown = fxk_mail_split(display_names ? display_names : "");
    for (size_t i = 0; i < out->paths.size(); ++i) {
        if (!is_file(out->paths[i])) return DXK_MAIL_ATTACHMENT_NOT_FOUND;
        out->names.push_back(fxk_mail_file_name(i < shown.size() ? shown[i] : out->paths[i]));
    }
    // The descriptors point into the strings, which no longer move.
    out->files.resize(out->paths.size());
    for (size_t i = 0; i < out->paths.size(); ++i) {
        MapiFileDesc &file = out->files[i];
        file = MapiFileDesc{};
        file.nPosition = static_cast<ULONG>(i);
        file.lpszPathName = out->paths[i].data();
        file.lpszFileName = out->names[i].data();
    }
    return 0;
}

bool fxk_mail_note(const char *body, size_t attachments, std::string *note) {
    note->assign(body ? body : "");
    if (note->empty() && attachments == 0) return false;
    for (char &c : *note)
        if (c == 127) c = ' ';
    if (note->size() < attachments) note->append(attachments - note->size(), ' ');
    return true;
}

uint16_t fxk_mail_recipients(const char *recipients, std::vector<std::string> *out) {
    out->clear();
    std::string_view list(recipients ? recipients : "");
    while (!list.empty()) {
        size_t cut = list.find(';');
        std::string_view entry = trimmed(list.substr(0, cut));
        list = cut == std::string_view::npos ? std::string_view() : list.substr(cut + 1);
        if (entry.size() > DXK_MAIL_NAME_MAX) return DXK_MAIL_NAME_TOO_LONG;
        if (entry.empty()) continue;
        if (out->size() == DXK_MAIL_RECIPIENTS_MAX) return DXK_MAIL_TOO_MANY_RECIPIENTS;
        out->emplace_back(entry);
    }
    return 0;
}
