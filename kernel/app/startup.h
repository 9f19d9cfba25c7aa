// Start-up of a suite program: the sequence that prepares the process before the program's own
// main function runs, with an exit action for each step run in reverse order at exit. It sits
// above the user interface, the connection layer and the error report, ties them together and
// registers the reports through which the lower layers reach the upper ones.
#pragma once

#include "kernel/ui/startup.h"
#include "kernel/ui/usage.h"
#include "platform/win32.h"

// Runs the start-up sequence for the program described by `program` (its title is the
// application title, its usage lines those of /H, /? and /*). Runs at most once per process: a
// second call returns at once. Ends the process when a usage switch is on the command line.
void fxp_startup(HINSTANCE instance, const TXP_USAGE_PROGRAM *program);
bool fxp_started();

// Set before start-up by programs that work with the queue manager from the start: start-up
// then connects to it (and disconnects at exit). Clear by default.
extern bool fxp_startup_queue_manager;

// Registers what the connection layer reports upward: its status lines on the status bar, the
// debug trace's wait window, its unexpected errors through the error report. Start-up does it
// first; programs that run no start-up (kvz, kvbrun) call it before their first connection.
void fxp_startup_reports();
