// The suite's file types in the shell and the installation of its programs: the fixed table of
// file-type entries under HKEY_CLASSES_ROOT, written or removed as a whole or one type at a
// time, and the copy of a program into the suite's folder under Program Files.
#pragma once

#include <cstdint>
#include <string>

// The maker's folder under Program Files; the suite's programs live in its folder "Brisel".
inline constexpr const char *DXK_SHELL_MAKER = "KOVA Business Software";

// The suite's program folder: Program Files, the maker's folder and "Brisel", without a
// trailing backslash. 0, or the platform's (negative) failure when Program Files is unknown.
int32_t fxk_program_folder(std::string &folder);

// Writes (remove 0) or removes the file-type entries of `type` ("kvz"; without regard to case)
// or, with no type, of the whole table. Registering writes only values that differ; outside
// the suite's own domain it removes the verbs that belong there. On a Linux desktop the patch
// type also gets its freedesktop MIME type and desktop entry. The shell is told when anything
// changed. Answers 0 when something changed, 1 when nothing did, and the platform's negative
// failure when the program folder cannot be determined.
int fxk_shell_register(const char *type, uint16_t remove);

// Installs (uninstall 0) or uninstalls a program: copies `source` (none: the running program)
// to `target_name` in the program folder unless it runs from there, registers or removes its
// file `type` (none: no type), and for "kvc" the feature tables of the subfolders. Unless
// `quiet`, a wait window shows the work, failures are shown in error boxes and success in an
// information box. True on success.
bool fxk_program_install(const char *source, const char *target_name, const char *display_name,
                         const char *type, uint16_t quiet, uint16_t uninstall);
