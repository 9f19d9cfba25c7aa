// The patch tool's reports and records: failures shown or logged, the installation log
// setup.log, the one wait window, and the rebuilds of consolidated files after an install.
#pragma once

#include "kernel/files/file.h"

// Shows `text` in an error box when an operator is present, else appends it to the
// installation log. Always answers false, so failures can `return patch_report(...)`.
bool patch_report(const char *text);

// A heading and its explanation: an error box with an operator, else one log line.
bool patch_report3(const char *heading, const char *text);

// Hands every report to `sink` instead of a box or the log while it is set (null restores
// the usual way): a program that checks patches prints the problems itself.
using PatchReportSink = void (*)(const char *text);
void patch_set_report_sink(PatchReportSink sink);

// Reports "Error <verb> file <name> - <the file layer's text of its last error>".
bool patch_file_error(const char *verb, const TXI_FILE &file);

// Appends one line to setup.log: the formatted message, this computer's name and the local
// date and time. Also copies the message to the start log, and hands it to the message sink
// whether or not the log could be written.
void patch_log(const char *format, ...);

// Where an unattended run's messages also go, one call per message (start-up registers one that
// writes standard error). Without a sink they go to the log alone.
using PatchMessageSink = void (*)(const char *message);
void patch_set_message_sink(PatchMessageSink sink);

// Whether patch_log writes the installation's log at all: off while the run knows no
// installation, so that nothing is written beside the program. The sink still hears everything.
void patch_set_installation_log(bool write);

// Hands a message to the sink alone, for outcomes that are no entry of the installation log
// (the summary of an unattended install).
void patch_note(const char *format, ...);

// The tool's wait window, shown between progress windows ("Please Wait").
void patch_wait_open();
void patch_wait_line(const char *text);
void patch_wait_close();

// Rebuild the consolidated menus and table definitions of the drive of `root` (for example
// "X:"). patch_rebuild_tables answers false after showing the rebuild's errors.
void patch_rebuild_menus(const char *root);
bool patch_rebuild_tables(const char *root);
