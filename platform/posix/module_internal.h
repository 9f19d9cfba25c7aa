// The platform's built-in modules: what LoadLibraryA and GetProcAddress know of each.
#pragma once

#include "platform/posix/module.h"

#include <cstddef>

struct kova_export {
    const char *name;
    FARPROC address;
};

struct kova_builtin_module {
    const char *name; // file name, upper case, with its extension
    // Whether the host has what the module stands on; a module that answers false cannot be
    // found or loaded.
    bool (*available)();
    const kova_export *exports;
    size_t export_count;
};

extern const kova_builtin_module kova_builtin_mapi32;
extern const kova_builtin_module kova_builtin_dbghelp;
