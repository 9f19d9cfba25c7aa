// The kvpatch executable: hands the command line to the platform, runs the kernel's start-up
// and the tool, and ends with the tool's status (the start-up's exit actions run as it ends).
#include "kernel/app/startup.h"
#include "patch/entry.h"
#include "platform/host.h"
#include "platform/win32.h"

int main(int argc, char **argv) {
    // A windowed program: its usage text and fatal messages go to the console it was started
    // from, if any.
    kova_console_attach_parent();
    kova_set_host_args(argc, argv);
    fxp_startup(nullptr, &patch_usage);
    return patch_main(fxp_argc(), fxp_argv());
}
