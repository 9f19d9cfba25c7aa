// What the connection, queue and user layers take from the rest of the kernel: the
// installation's settings and log directory, kova.ini switches, the status bar and the
// unexpected-error path. Internal to kernel/coord.
#pragma once

#include <cstdint>
#include <string>

// The installation's data home, ending in a backslash.
std::string fxi_conn_data_home();
// Whether key `key` of section `section` of the installation's kova.ini begins with Y or y.
bool fxi_conn_ini_yes(const char *section, const char *key);
// Shows a diagnostic line on the status bar; an empty text clears it.
void fxi_conn_diag_line(const char *text);
// The installation's release level and its configured number of user slots.
uint8_t fxi_conn_release_level();
uint16_t fxi_conn_user_slots();
// Ends the process through the kernel's unexpected-error path with `message`.
[[noreturn]] void fxi_conn_unexpected(const char *message);
// The installation's log directory, ending in a backslash.
std::string fxi_conn_log_dir();
