// kvbrun: the background program executor. A client of the queue manager that takes command
// texts from the queue BRUNC, answers each on BRUNR, and ends on "exit".
#include "kernel/app/startup.h"
#include "kernel/coord/queue.h"
#include "kernel/files/install.h"
#include "services/service_main.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void say(const std::string &text) {
    std::string line = "kvbrun: " + text + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Commands and their results (the first word of the reply):
//   ping                 0
//   run <command line>   0 once the program started, else its Windows error
//   anything else        1
uint16_t execute(const std::string &command) {
    std::string verb = lower(command.substr(0, command.find(' ')));
    if (verb == "ping") return 0;
    if (verb == "run") {
        std::string line = command.size() > 4 ? command.substr(4) : std::string();
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (line.empty() || !CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &startup, &info)) {
            DWORD error = line.empty() ? ERROR_INVALID_PARAMETER : GetLastError();
            say("cannot run '" + line + "': error " + std::to_string(error));
            return static_cast<uint16_t>(error);
        }
        say("started '" + line + "' as process " + std::to_string(info.dwProcessId));
        CloseHandle(info.hProcess);
        if (info.hThread) CloseHandle(info.hThread);
        return 0;
    }
    say("unknown command '" + command + "'");
    return 1;
}

// Makes the queue, or opens it when another executor made it before.
uint16_t make_or_open(const char *name, TXI_QUEUE *queue) {
    uint16_t status = fxi_queue_make(name, DXI_BRUN_SIZE, 1, queue);
    if (status == DXI_QUEUE_EXISTS) status = fxi_queue_open(name, DXI_BRUN_SIZE, queue);
    return status;
}

// Connects to the queue manager, waiting up to ten seconds for one to come up.
uint16_t connect_queue_manager(const char *server) {
    uint16_t status = 0;
    for (int attempt = 0; attempt < 50 && !service_ending; ++attempt) {
        if ((status = fxi_queue_system().connect(server)) == 0) return 0;
        Sleep(200);
    }
    return status ? status : DXI_CONN_NO_TRANSPORT;
}

struct Executor {
    std::string server;
    TXI_QUEUE commands, replies;
};

// Connects to the queue manager and makes the command queues: 0, else the exit status.
int start_executor(void *context) {
    Executor &executor = *static_cast<Executor *>(context);
    // A client of the queue manager: its traces and unexpected errors reach the operator as in
    // any program of the suite.
    fxp_startup_reports();
    fxi_conn_init();
    uint16_t status =
        connect_queue_manager(executor.server.empty() ? nullptr : executor.server.c_str());
    if (status) {
        say("no queue manager: status " + std::to_string(status));
        return 1;
    }
    if ((status = make_or_open("BRUNC", &executor.commands)) != 0 ||
        (status = make_or_open("BRUNR", &executor.replies)) != 0) {
        say("cannot make the command queues: status " + std::to_string(status));
        fxi_queue_system().disconnect();
        return 1;
    }
    say("waiting for commands");
    return 0;
}

// Answers commands until "exit", a stop or the loss of the queue manager.
int run_executor(void *context) {
    Executor &executor = *static_cast<Executor *>(context);
    TXI_QUEUE &commands = executor.commands, &replies = executor.replies;
    int exit_status = 0;
    uint16_t status = 0;
    std::vector<uint8_t> buffer(commands.size + 1, 0);
    while (!service_ending) {
        status = fxi_queue_read(&commands, buffer.data(), 1);
        if (status == DXI_QUEUE_EMPTY) {
            // Short polls: the update tool expects the executor gone within a second of "exit".
            Sleep(50);
            continue;
        }
        if (status) {
            say("lost the queue manager: status " + std::to_string(status));
            exit_status = 1;
            break;
        }
        buffer[commands.size] = 0;
        std::string command(reinterpret_cast<const char *>(buffer.data()));
        if (lower(command) == "exit") {
            say("exit requested");
            break;
        }
        std::vector<uint8_t> reply(replies.size, 0);
        fxi_conn_put16(reply.data(), execute(command));
        // A reply nobody collects must not stop the executor: it waits ten seconds at most.
        ULONGLONG deadline = GetTickCount64() + 10000;
        while ((status = fxi_queue_write(&replies, reply.data(), 1)) == DXI_QUEUE_FULL &&
               GetTickCount64() < deadline && !service_ending)
            Sleep(50);
        if (status)
            say("reply to '" + command + "' not delivered: status " + std::to_string(status));
    }
    uint16_t answer = 0;
    fxi_queue_system().disconnect(&answer);
    fxi_conn_term();
    say("ended");
    return exit_status;
}

void stop_executor(void *) {
    service_ending = true;
}

} // namespace

int main(int argc, char **argv) {
    kova_set_host_args(argc, argv);
    Executor executor;
    bool ok = argc >= 2;
    for (int i = 2; ok && i < argc; ++i) {
        if (std::strcmp(argv[i], "--server") == 0 && i + 1 < argc)
            executor.server = argv[++i];
        else
            ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "usage: kvbrun <data home> [--server address:port]\n");
        return 2;
    }
    fxi_set_data_home(service_data_home(argv[1]).c_str());
    // A client of the queue manager: its traces and unexpected errors reach the operator as in
    // any program of the suite.
    fxp_startup_reports();
    return kova_service_main("BRUN", {start_executor, run_executor, stop_executor, &executor});
}
