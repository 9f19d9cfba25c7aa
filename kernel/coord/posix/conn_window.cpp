// The window transport where the system has no window messages (POSIX): no manager offers a
// window and no client looks for one, so a client on this machine goes from the named-event
// transport straight to the socket.
#include "kernel/coord/conn_window.h"

bool fxi_conn_window_messages() {
    return false;
}

uint16_t fxi_conn_connect_window(uint16_t, uint16_t, const std::string &, uint16_t *,
                                 std::shared_ptr<TXI_CONN_WINDOW> *) {
    return DXI_CONN_NO_TRANSPORT;
}

std::unique_ptr<TXI_MANAGER_WINDOW> fxi_manager_window_open(uint16_t, const std::string &,
                                                            TXI_MANAGER_WINDOW_EVENTS,
                                                            std::string *error) {
    *error = "this system has no window messages";
    return nullptr;
}
