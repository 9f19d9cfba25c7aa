// The mail layer's error module: the texts of codes 1470-1488.
#include "kernel/mail/mail.h"

namespace {

const char *const mail_texts[] = {
    "MAPI not installed",
    "MAPI32.DLL not loaded",
    "MAPILogon() not found in MAPI32.DLL",
    "MAPILogoff() not found in MAPI32.DLL",
    "Operator aborted the logon attempt",
    "Logon failed",
    "Logoff failed",
    "Not logged on",
    "MAPISendMail() not found in MAPI32.DLL",
    "Send mail failed",
    "Operator aborted sending the message",
    "Attachment not found",
    "MAPIResolveName() not found in MAPI32.DLL",
    "Failed to resolve the recipient name",
    "MAPIFreeBuffer() not found in MAPI32.DLL",
    "Failed to free a buffer allocated by MAPI32.DLL",
    "Too many recipients specified",
    "Recipient name too long",
    // Out of memory has no text of its own.
    "Unknown error",
};
static_assert(sizeof mail_texts / sizeof mail_texts[0] == 1488 - 1470 + 1);

const TXK_ERRMOD *const mail_related[] = {nullptr};

} // namespace

const TXK_ERRMOD EXK_MAIL = {"EXK_MAIL", 1470, 1488, mail_texts, mail_related};
