// Stopping the suite's managers and clients before a release tree is patched, and starting
// the configured services again afterwards.
#pragma once

#include <string>

// What an installation run shares between choosing the server, stopping and restarting the
// services and the final message.
struct PatchInstallState {
    std::string root = "C:\\";             // root of the chosen server drive, e.g. X:\ .
    bool restart = false;                  // a manager was stopped: restart the services
    const char *service_message = nullptr; // why a service may still be down, or none
};
extern PatchInstallState patch_state;

// Asks every client on the server to close, tells the background executor to exit and asks
// the queue and file managers to shut down. False after a refusal has been shown.
bool patch_stop_services();

// Starts the queue manager, file manager and background executor again where they are
// configured to run; leaves a service message when one does not start.
void patch_restart_services();
