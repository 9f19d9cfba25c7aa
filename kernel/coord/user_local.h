// The user log of the user layer. Internal to kernel/coord.
#pragma once

// Appends a line to lxkuser.log (format with tagged arguments) when the process runs in the
// suite's own domain and the log exists.
void fxk_user_log(const char *format, ...);
// Closes the log; the next line opens it again.
void fxk_user_log_close();
