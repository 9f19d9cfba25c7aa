// The pieces of a message the mail layer builds from its texts before any mail client sees
// them: list splitting, attachment descriptors, the note text and the recipient entries.
#pragma once

#include "platform/mapi.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Splits a list at semicolons: runs of semicolons count as one separator, leading and
// trailing ones are ignored, so no item is empty.
std::vector<std::string> fxk_mail_split(std::string_view list);

// The file-name part of a path (after the last backslash, slash or colon).
std::string fxk_mail_file_name(std::string_view path);

// The attachments of a note: their paths, the names the recipient sees and the descriptors
// that point at them (valid while the object lives and is not changed).
struct TXK_MAIL_FILES {
    std::vector<std::string> paths, names;
    std::vector<MapiFileDesc> files;
};

// Each path must name an existing file (else DXK_MAIL_ATTACHMENT_NOT_FOUND). Attachment i
// stands at position i of the note; its name is the file-name part of display name i, or of
// its path when there is no such display name.
uint16_t fxk_mail_files(const char *attachments, const char *display_names, TXK_MAIL_FILES *out);

// The note text: the body with every DEL (127) made a blank, padded with blanks to at least
// `attachments` characters so that every attachment position lies inside it. False when
// there is no note (neither body nor attachments).
bool fxk_mail_note(const char *body, size_t attachments, std::string *note);

// The non-empty entries of a recipient list, trimmed of blanks: DXK_MAIL_NAME_TOO_LONG for an
// entry over 512 characters, DXK_MAIL_TOO_MANY_RECIPIENTS beyond 100 entries.
uint16_t fxk_mail_recipients(const char *recipients, std::vector<std::string> *out);

// The MAPI send inside its logon frame: a status window while the client is reached, logon,
// send, logoff. After a successful send the logoff's code is the answer (and `sent` is set);
// after a failed one the send's code, with its MAPI result kept.
uint16_t fxk_mapi_send_framed(const char *recipients, const char *originator_address,
                              const char *originator_name, const char *subject, const char *body,
                              const char *attachments, const char *display_names, uint16_t dialog,
                              bool *sent);
