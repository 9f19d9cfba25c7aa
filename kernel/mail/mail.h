// Mail: a message with file attachments handed to the user's own mail client through Simple
// MAPI (loaded at run time, so programs run on machines without one), or, when there is no
// client or it fails, sent over SMTP from the kernel's "SMTP Email" page.
#pragma once

#include "kernel/files/file.h"
#include "platform/mapi.h"

#include <cstdint>
#include <string>

// ---- Codes ----------------------------------------------------------------------------------

extern const TXK_ERRMOD EXK_MAIL; // 1470-1488

enum : uint16_t {
    DXK_MAIL_NOT_INSTALLED = 1470,
    DXK_MAIL_NOT_LOADED = 1471,
    DXK_MAIL_NO_LOGON = 1472,
    DXK_MAIL_NO_LOGOFF = 1473,
    DXK_MAIL_LOGON_ABORTED = 1474,
    DXK_MAIL_LOGON_FAILED = 1475,
    DXK_MAIL_LOGOFF_FAILED = 1476,
    DXK_MAIL_NOT_LOGGED_ON = 1477,
    DXK_MAIL_NO_SEND = 1478,
    DXK_MAIL_SEND_FAILED = 1479,
    DXK_MAIL_SEND_ABORTED = 1480,
    DXK_MAIL_ATTACHMENT_NOT_FOUND = 1481,
    DXK_MAIL_NO_RESOLVE = 1482,
    DXK_MAIL_RESOLVE_FAILED = 1483,
    DXK_MAIL_NO_FREE = 1484,
    DXK_MAIL_FREE_FAILED = 1485,
    DXK_MAIL_TOO_MANY_RECIPIENTS = 1486,
    DXK_MAIL_NAME_TOO_LONG = 1487,
    DXK_MAIL_NO_MEMORY = 1488,
};

// Flags of fxk_mail_send.
constexpr uint16_t DXK_MAIL_DIALOG = 0x1;    // the mail client shows the message before sending
constexpr uint16_t DXK_MAIL_SMTP_ONLY = 0x2; // skip the mail client, go straight to SMTP

// Limits of a recipient list.
constexpr size_t DXK_MAIL_NAME_MAX = 512;
constexpr size_t DXK_MAIL_RECIPIENTS_MAX = 100;
// The longest body the SMTP page takes over.
constexpr size_t DXK_MAIL_SMTP_BODY_MAX = 8192;

// ---- Sending --------------------------------------------------------------------------------
// Lists are separated by semicolons; every argument may be null or empty. Attachments are
// paths, display names the names the recipient sees, in the same order.

// Non-zero when the message was handed over (or the user cancelled it in the mail client);
// fxk_mail_send_full without an originator.
int fxk_mail_send(const char *recipients, const char *subject, const char *body,
                  const char *attachments, const char *display_names, uint16_t flags);
int fxk_mail_send_full(const char *recipients, const char *originator_address,
                       const char *originator_name, const char *subject, const char *body,
                       const char *attachments, const char *display_names, uint16_t flags);

// ---- Simple MAPI ----------------------------------------------------------------------------
// Each answers a mail code, 0 on success. The MAPI state (library found and loaded, logon
// session, last MAPI result) is process-wide.

uint16_t fxk_mapi_logon();
uint16_t fxk_mapi_logoff();
uint16_t fxk_mapi_send(const char *recipients, const char *originator_address,
                       const char *originator_name, const char *subject, const char *body,
                       const char *attachments, const char *display_names, uint16_t dialog);
// The resolved record belongs to MAPI: release it with the library's MAPIFreeBuffer.
uint16_t fxk_mapi_resolve(const char *name, MapiRecipDesc **recipient);
// What the last MAPI call returned (MAPI_USER_ABORT when the user cancelled).
ULONG fxk_mapi_last_result();

// ---- SMTP -----------------------------------------------------------------------------------

// A message for the SMTP client. Texts are ANSI; lists are separated by semicolons or commas.
struct TXK_SMTP_MESSAGE {
    std::string server; // host, host:port, or a smtp:// or smtps:// address
    std::string to, cc, bcc;
    std::string from;
    std::string subject;
    std::string body; // lines end in CR LF
    std::string attachments, display_names;
    std::string username, password; // authentication when the user name is not empty
};

// Sends the message as MIME with its attachments, upgrading to TLS when the server offers it.
// True when the server accepted it; otherwise `error` says why (never with the password).
bool fxk_smtp_send(const TXK_SMTP_MESSAGE &message, std::string *error);

// The "SMTP Email" page, prefilled with the message, until the user sends it successfully
// (1) or cancels (0). A failed send is shown and the page comes back with what was typed.
uint16_t fxk_smtp_page(TXK_SMTP_MESSAGE message);
