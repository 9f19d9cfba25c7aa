// What the connection, queue and user layers take from the rest of the kernel: the
// installation's settings, its kova.ini, its log directory, and the reports that start-up
// registers for the layers above (the unexpected-error path among them).
#include "kernel/coord/conn.h"
#include "kernel/coord/conn_local.h"

#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"

#include <cstdio>
#include <cstdlib>

std::string fxi_conn_data_home() {
    return fxi_data_home();
}

bool fxi_conn_ini_yes(const char *section, const char *key) {
    return fxi_ini_yes(section, key, 'N') == 'Y';
}

uint8_t fxi_conn_release_level() {
    return fxi_release();
}
uint16_t fxi_conn_user_slots() {
    return fxi_user_slots();
}
std::string fxi_conn_log_dir() {
    char directory[DXI_PATH_BUFFER] = {};
    return fxi_log_dir(directory, 1);
}

namespace {

TXI_CONN_REPORTS registered_reports;

} // namespace

void fxi_conn_set_reports(const TXI_CONN_REPORTS &reports) {
    registered_reports = reports;
}

const TXI_CONN_REPORTS &fxi_conn_reports() {
    return registered_reports;
}

void fxi_conn_unexpected(const char *message) {
    if (registered_reports.unexpected_error) registered_reports.unexpected_error(message);
    // Nothing above this layer took the report, or it came back: the condition is still one the
    // process cannot go on from, and ending with success would hide it.
    std::fprintf(stderr, "Unexpected error: %s\n", message ? message : "");
    std::fflush(stderr);
    std::_Exit(1);
}
