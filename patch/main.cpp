// The kvpatch executable: hands the command line to the platform, runs the start-up steps
// and the tool, and ends with the tool's status.
#include "patch/entry.h"
#include "platform/win32.h"

int main(int argc, char **argv) {
    kova_set_host_args(argc, argv);
    patch_startup();
    return patch_main(fxp_argc(), fxp_argv());
}
