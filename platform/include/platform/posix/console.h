// The terminal the POSIX platform presents on: whether an operator sits at it (the visible
// desktop), the box styles and answers of the Windows message box and the bell. Writing to
// and reading keys from the terminal are host helpers (platform/host.h).
#pragma once

#include "platform/posix/base.h"

#include <string_view>

// Message box styles: button set, icon, default button, and the service-notification bit.
enum : UINT {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_ABORTRETRYIGNORE = 0x2,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5,
    MB_CANCELTRYCONTINUE = 0x6,
    MB_TYPEMASK = 0x7,
    MB_ICONHAND = 0x10,
    MB_ICONSTOP = 0x10,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = 0x30,
    MB_ICONASTERISK = 0x40,
    MB_ICONINFORMATION = 0x40,
    MB_ICONMASK = 0xF0,
    MB_DEFBUTTON1 = 0x000,
    MB_DEFBUTTON2 = 0x100,
    MB_DEFBUTTON3 = 0x200,
    MB_DEFBUTTON4 = 0x300,
    MB_DEFMASK = 0xF00,
    MB_SERVICE_NOTIFICATION = 0x200000,
};

// Button identifiers a message box answers.
enum : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDABORT = 3,
    IDRETRY = 4,
    IDIGNORE = 5,
    IDYES = 6,
    IDNO = 7,
    IDTRYAGAIN = 10,
    IDCONTINUE = 11,
};

// The desktop window; it is visible when an operator sits at the terminal: standard input and
// standard error are terminals and KOVA_UNATTENDED is not "1". Other windows are never visible.
HWND GetDesktopWindow();
BOOL IsWindowVisible(HWND window);

// Rings the terminal bell on standard error when the desktop is visible; the sound type is
// not distinguished.
BOOL MessageBeep(UINT type);
