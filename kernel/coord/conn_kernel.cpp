// What the connection, queue and user layers take from the rest of the kernel: the
// installation's settings, its kova.ini, its log directory and the unexpected-error path.
#include "kernel/coord/conn_local.h"

#include "kernel/errors/report.h"
#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"

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

void fxi_conn_unexpected(const char *message) {
    fxk_unexpected_error(message, 0, 0);
}
