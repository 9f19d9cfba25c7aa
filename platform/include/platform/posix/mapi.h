// Simple MAPI as the published records and entry points describe it. On POSIX the platform's
// built-in MAPI32.DLL hands messages to the desktop's mail client through xdg-email.
#pragma once

#include "platform/posix/base.h"

using LHANDLE = ULONG_PTR;
using LPLHANDLE = LHANDLE *;
using FLAGS = ULONG;

struct MapiFileDesc {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition; // character of the note text the attachment stands at
    LPSTR lpszPathName;
    LPSTR lpszFileName; // the name the recipient sees
    LPVOID lpFileType;
};
using lpMapiFileDesc = MapiFileDesc *;

struct MapiRecipDesc {
    ULONG ulReserved;
    ULONG ulRecipClass; // MAPI_ORIG, MAPI_TO, MAPI_CC, MAPI_BCC
    LPSTR lpszName;
    LPSTR lpszAddress;
    ULONG ulEIDSize;
    LPVOID lpEntryID;
};
using lpMapiRecipDesc = MapiRecipDesc *;

struct MapiMessage {
    ULONG ulReserved;
    LPSTR lpszSubject;
    LPSTR lpszNoteText;
    LPSTR lpszMessageType;
    LPSTR lpszDateReceived;
    LPSTR lpszConversationID;
    FLAGS flFlags;
    lpMapiRecipDesc lpOriginator;
    ULONG nRecipCount;
    lpMapiRecipDesc lpRecips;
    ULONG nFileCount;
    lpMapiFileDesc lpFiles;
};
using lpMapiMessage = MapiMessage *;

enum : ULONG { MAPI_ORIG = 0, MAPI_TO = 1, MAPI_CC = 2, MAPI_BCC = 3 };

enum : FLAGS {
    MAPI_LOGON_UI = 0x00000001,
    MAPI_NEW_SESSION = 0x00000002,
    MAPI_DIALOG = 0x00000008,
};

enum : ULONG {
    SUCCESS_SUCCESS = 0,
    MAPI_USER_ABORT = 1,
    MAPI_E_USER_ABORT = 1,
    MAPI_E_FAILURE = 2,
    MAPI_E_LOGON_FAILURE = 3,
    MAPI_E_LOGIN_FAILURE = 3,
    MAPI_E_DISK_FULL = 4,
    MAPI_E_INSUFFICIENT_MEMORY = 5,
    MAPI_E_ACCESS_DENIED = 6,
    MAPI_E_TOO_MANY_SESSIONS = 8,
    MAPI_E_TOO_MANY_FILES = 9,
    MAPI_E_TOO_MANY_RECIPIENTS = 10,
    MAPI_E_ATTACHMENT_NOT_FOUND = 11,
    MAPI_E_ATTACHMENT_OPEN_FAILURE = 12,
    MAPI_E_ATTACHMENT_WRITE_FAILURE = 13,
    MAPI_E_UNKNOWN_RECIPIENT = 14,
    MAPI_E_BAD_RECIPTYPE = 15,
    MAPI_E_NO_MESSAGES = 16,
    MAPI_E_INVALID_MESSAGE = 17,
    MAPI_E_TEXT_TOO_LARGE = 18,
    MAPI_E_INVALID_SESSION = 19,
    MAPI_E_TYPE_NOT_SUPPORTED = 20,
    MAPI_E_AMBIGUOUS_RECIPIENT = 21,
    MAPI_E_AMBIG_RECIP = 21,
    MAPI_E_MESSAGE_IN_USE = 22,
    MAPI_E_NETWORK_FAILURE = 23,
    MAPI_E_INVALID_EDITFIELDS = 24,
    MAPI_E_INVALID_RECIPS = 25,
    MAPI_E_NOT_SUPPORTED = 26,
};

// The entry points, as the mail layer takes them from the library by name.
using MAPILOGON = ULONG(ULONG_PTR ui_param, LPSTR profile, LPSTR password, FLAGS flags,
                        ULONG reserved, LPLHANDLE session);
using MAPILOGOFF = ULONG(LHANDLE session, ULONG_PTR ui_param, FLAGS flags, ULONG reserved);
using MAPISENDMAIL = ULONG(LHANDLE session, ULONG_PTR ui_param, lpMapiMessage message, FLAGS flags,
                           ULONG reserved);
using MAPIRESOLVENAME = ULONG(LHANDLE session, ULONG_PTR ui_param, LPSTR name, FLAGS flags,
                              ULONG reserved, lpMapiRecipDesc *recipient);
using MAPIFREEBUFFER = ULONG(LPVOID buffer);
using LPMAPILOGON = MAPILOGON *;
using LPMAPILOGOFF = MAPILOGOFF *;
using LPMAPISENDMAIL = MAPISENDMAIL *;
using LPMAPIRESOLVENAME = MAPIRESOLVENAME *;
using LPMAPIFREEBUFFER = MAPIFREEBUFFER *;
