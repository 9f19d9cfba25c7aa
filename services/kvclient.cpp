// kvclient: a client program of the suite as the update tool meets it on a server. It holds the
// shutdown event open and ends, closing it, as soon as the event is set.
#include "services/service_main.h"

#include <cstdio>

namespace {

constexpr const char *shutdown_event = "Global\\LXKSYS_SHUTDOWN_PENDING";

void say(const char *text) {
    std::fprintf(stderr, "kvclient: %s\n", text);
    std::fflush(stderr);
}

} // namespace

int main(int argc, char **argv) {
    kova_set_host_args(argc, argv);
    if (argc != 1) {
        std::fprintf(stderr, "usage: kvclient\n");
        return 2;
    }
    SetConsoleCtrlHandler(service_console_control, TRUE);
    // Every client creates the event if it is not there yet: manual reset, so that setting it
    // reaches all of them.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, shutdown_event);
    if (!event) {
        std::fprintf(stderr, "kvclient: cannot open %s: error %u\n", shutdown_event,
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    say("running; waiting for the shutdown event");
    DWORD result = WAIT_TIMEOUT;
    while (!service_ending && result == WAIT_TIMEOUT) result = WaitForSingleObject(event, 200);
    CloseHandle(event);
    if (result == WAIT_OBJECT_0) {
        say("shutdown event set: ending");
        return 0;
    }
    if (result == WAIT_FAILED) {
        std::fprintf(stderr, "kvclient: waiting for the shutdown event failed: error %u\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    say("ending on request");
    return 0;
}
