// The patch tool's reports, its installation log setup.log, its wait window, and the rebuilds
// of consolidated menus and table definitions.
#include "patch/log.h"

#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "kernel/install/menus.h"
#include "kernel/install/tabledef.h"
#include "kernel/text/format.h"
#include "kernel/ui/box.h"
#include "kernel/ui/prog.h"
#include "patch/entry.h"

#include <cstdarg>
#include <string>

namespace {

TXP_PWIN_T wait_window;
bool wait_window_open = false;
PatchMessageSink message_sink = nullptr;
bool installation_log = true;
PatchReportSink report_sink = nullptr;

} // namespace

void patch_set_report_sink(PatchReportSink sink) {
    report_sink = sink;
}

bool patch_report(const char *text) {
    if (report_sink) {
        report_sink(text);
        return false;
    }
    if (patch_interactive())
        fxp_msg_error(text);
    else
        patch_log("%str%", text); // a '%' in a reported file name must not act as a tag
    return false;
}

bool patch_report3(const char *heading, const char *text) {
    if (report_sink) {
        report_sink((std::string(heading) + " - " + text).c_str());
        return false;
    }
    if (patch_interactive()) {
        fxp_msg_error3(heading, text, nullptr);
        return false;
    }
    // One log line: each run of line breaks in the explanation becomes a blank.
    std::string line;
    for (const char *c = text; *c; ++c) {
        bool line_break = *c == '\r' || *c == '\n';
        if (!line_break)
            line += *c;
        else if (line.empty() || line.back() != ' ')
            line += ' ';
    }
    patch_log("%str% - %str%", heading, line.c_str());
    return false;
}

bool patch_file_error(const char *verb, const TXI_FILE &file) {
    std::string text;
    fxd_fmt_assign(text, "Error %str% file %str% - %str%", verb, file.name(), file.error_text());
    return patch_report(text.c_str());
}

void patch_set_message_sink(PatchMessageSink sink) {
    message_sink = sink;
}

void patch_set_installation_log(bool write) {
    installation_log = write;
}

void patch_note(const char *format, ...) {
    if (!message_sink) return;
    va_list args;
    va_start(args, format);
    std::string message;
    fxd_fmt_vassign(message, format, args);
    va_end(args);
    message_sink(message.c_str());
}

void patch_log(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string message;
    fxd_fmt_vassign(message, format, args);
    va_end(args);
    // A log that cannot be written must not make an unattended failure silent.
    if (message_sink) message_sink(message.c_str());
    if (!installation_log) return;

    char dir[DXI_PATH_BUFFER];
    fxi_log_dir(dir, 1);
    std::string log = std::string(dir) + "setup.log";
    std::string older = std::string(dir) + "setup.txt";
    if (fxi_test_file(older.c_str()) && !fxi_test_file(log.c_str()))
        (void)fxi_move_file(older.c_str(), log.c_str()); // setup.txt stays; setup.log starts

    TXI_LFILE file;
    bool ready = !file.exists(log.c_str()) && file.create(log.c_str()) == 0;
    if (!ready) ready = file.open(log.c_str(), DXI_FILE_READ_WRITE) == 0 && file.seek_end() == 0;
    if (!ready) return;

    char computer[DXI_PATH_BUFFER] = {};
    (void)fxi_computer_name(computer); // an unknown computer leaves the field empty
    TXD_CLOCK now;
    fxd_clock_now(&now);
    // A line setup.log cannot take still reaches the start log below.
    (void)file.print_line("%str% on server %str% on %date%,2 at %time%,1", message.c_str(),
                          computer, &now.date, &now.time);
    fxi_start_log("%str%", message.c_str());
    (void)file.close(); // as for the line itself
}

void patch_wait_open() {
    fxp_pwin_open(nullptr, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, DXP_PWIN_DEFAULT, nullptr, 0x106,
                  nullptr, nullptr, 0, 0, nullptr, 20, &wait_window);
    wait_window_open = true;
}

void patch_wait_line(const char *text) {
    if (wait_window_open) fxp_pwin_line(&wait_window, text);
}

void patch_wait_close() {
    if (wait_window_open) fxp_pwin_close(&wait_window);
    wait_window_open = false;
}

void patch_rebuild_menus(const char *root) {
    patch_wait_open();
    patch_wait_line("Rebuilding Menu Files");
    fxk_menu_rebuild(root, 0);
    patch_wait_close();
}

bool patch_rebuild_tables(const char *root) {
    patch_wait_open();
    patch_wait_line("Rebuilding Table Definition Files");
    std::string errors;
    bool rebuilt = fxk_tabledef_rebuild(root, errors);
    patch_wait_close();
    if (rebuilt) return true;
    fxp_msg_error3("Error Rebuilding Consolidated Table Definitions", errors.c_str(), nullptr);
    return false;
}
