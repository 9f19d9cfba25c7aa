// What the stand-in managers share around their own work: the command line (the data home and
// an optional listening address) and the run of a manager until it stops, as a service or from
// the console.
#pragma once

#include "kernel/coord/conn_server.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The data home of a command-line argument: a host path (it has a slash) or a DOS path, made
// absolute and ending in a backslash.
inline std::string service_data_home(const char *argument) {
    std::string path = std::strchr(argument, '/') ? kova_dos_from_host(argument) : argument;
    char full[MAX_PATH * 4] = {};
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (n > 0 && n < sizeof full) path = full;
    if (!path.empty() && path.back() != '\\') path += '\\';
    return path;
}

struct TXS_SERVICE_ARGS {
    std::string data_home, listen;
    TXI_MANAGER_OPTIONS options;
    DWORD linger_ms = 0;
};

// Parses "<data home> [--listen address:port] [--socket-only | --no-named-events]
// [--linger ms]"; false after writing the usage to standard error. --socket-only offers no
// shared memory, so that clients on this machine take the socket as clients elsewhere do;
// --no-named-events leaves out only the named-event announcement, so that they take the
// manager's window where there is one. --linger keeps the process alive that long after it
// stopped serving, as a manager that writes its queues out before it ends.
inline bool service_arguments(const char *program, int argc, char **argv, TXS_SERVICE_ARGS *args) {
    kova_set_host_args(argc, argv);
    bool ok = argc >= 2;
    for (int i = 2; ok && i < argc; ++i) {
        if (std::strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            args->listen = argv[++i];
        } else if (std::strcmp(argv[i], "--socket-only") == 0) {
            args->options.shared_memory = false;
            args->options.manager_window = false;
        } else if (std::strcmp(argv[i], "--no-named-events") == 0) {
            args->options.shared_memory = false;
        } else if (std::strcmp(argv[i], "--linger") == 0 && i + 1 < argc) {
            args->linger_ms = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            ok = false;
        }
    }
    if (!ok) {
        std::fprintf(stderr,
                     "usage: %s <data home> [--listen address:port] [--socket-only | "
                     "--no-named-events] [--linger ms]\n",
                     program);
        return false;
    }
    args->data_home = service_data_home(argv[1]);
    return true;
}

// Set when the program is asked to stop (a service stop, Ctrl-C): it should end as soon as
// it can.
inline std::atomic<bool> service_ending{false};

// The console control handler of the programs that are no managers: it only asks them to end.
inline BOOL WINAPI service_console_control(DWORD) {
    service_ending = true;
    return TRUE;
}

// A manager and its arguments as the body of a service.
struct TXS_MANAGER_RUN {
    CXI_MANAGER &manager;
    const TXS_SERVICE_ARGS &args;

    static int start(void *context) {
        TXS_MANAGER_RUN &run = *static_cast<TXS_MANAGER_RUN *>(context);
        std::string error;
        run.manager.set_options(run.args.options);
        if (run.manager.start(run.args.data_home, run.args.listen, &error)) return 0;
        run.manager.log("%str%", error.c_str());
        return 1;
    }
    static int serve(void *context) {
        TXS_MANAGER_RUN &run = *static_cast<TXS_MANAGER_RUN *>(context);
        run.manager.run();
        if (run.args.linger_ms) Sleep(run.args.linger_ms);
        return 0;
    }
    static void stop(void *context) {
        service_ending = true;
        static_cast<TXS_MANAGER_RUN *>(context)->manager.shutdown();
    }
};

// Runs `manager` until it stops, as the service `name` when the service control manager
// started the process, else from the console; answers the exit status.
inline int run_manager(LPCSTR name, CXI_MANAGER &manager, const TXS_SERVICE_ARGS &args) {
    TXS_MANAGER_RUN run{manager, args};
    return kova_service_main(
        name, {TXS_MANAGER_RUN::start, TXS_MANAGER_RUN::serve, TXS_MANAGER_RUN::stop, &run});
}
