// The file-manager interface as the user layer uses it: its attach connects the process to the
// installation's file manager, its detach ends that connection.
#include "kernel/coord/queue.h"

#include "kernel/coord/conn_local.h"

namespace {

CXI_CONN &file_manager() {
    static CXI_CONN connection;
    return connection;
}

} // namespace

uint16_t fxm_file_attach(uint16_t attempt, uint16_t flags) {
    // The attempt number and the flags tell the file manager how the kernel found the queue
    // manager; the connection itself is the same for every attempt.
    (void)attempt;
    (void)flags;
    CXI_CONN &fm = file_manager();
    if (fm.connected()) return 0;
    uint16_t confirmed = 0;
    return fm.connect(nullptr, DXI_CONN_FILE_MANAGER, 0,
                      fxi_conn_file_size(fxi_conn_release_level()), nullptr, &confirmed);
}

void fxm_file_detach(uint16_t flag) {
    (void)flag;
    CXI_CONN &fm = file_manager();
    if (fm.connected()) fm.disconnect();
}
