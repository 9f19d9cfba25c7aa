// kvpatch's entry: the start-up steps before the tool runs, the dispatch of the command line to
// the actions, the interactive test every action uses, and the tool's usage lines.
#pragma once

#include "kernel/ui/usage.h"

#include <cstdint>

// The name under which the tool presents itself and describes its file type.
constexpr const char *patch_title = "KOVA Patch Installer";

// The tool's usage: banner, syntax " patname [filename] [/m]" and its explanation lines.
extern const TXP_USAGE_PROGRAM patch_usage;

// The kernel's start-up steps that run before the tool: the tool's usage definition, the
// kernel's usage entry for /m and the usage switches /H, /? and /* (which end the process).
void patch_startup();

// Runs the action the command line asks for (argument 0 is the program's path; the count is
// taken as 16 bits) and answers the exit status, 0 for success and 1 for failure.
uint16_t patch_main(int argc, char **argv);

// Whether an operator sits at a visible desktop: boxes and questions are shown; otherwise
// failures go to the installation log. Decided on the first call and kept for the run.
bool patch_interactive();

// Makes the installation the registry names for services (ServiceDataHome) the current one, as
// an unattended run does; true also when there is no such key. False when the key names none.
bool patch_take_service_installation();

// Sets the options of the installation settings that a program path inside a release
// directory implies: "\KOVABrisel\" 134, 247 and 248, "\kova2006\" 247 and 248, "\kova2004\"
// 248 (the first that occurs, without regard to case); other paths change nothing.
void patch_release_options(const char *program_path);
