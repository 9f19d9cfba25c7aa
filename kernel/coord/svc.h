// Service queries and program launch: the configuration of a Windows service, and starting a
// program from a command line with a show mode, optionally waiting for it.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <memory>

// A service's configuration in one block (the record followed by its texts); the block frees
// itself.
struct TXI_SVC_CONFIG_FREE {
    void operator()(QUERY_SERVICE_CONFIGA *config) const noexcept;
};
using TXI_SVC_CONFIG = std::unique_ptr<QUERY_SERVICE_CONFIGA, TXI_SVC_CONFIG_FREE>;

// The configuration of `service` on `machine` (none: this one) in `database` (none: the active
// one); none when the service control manager, the service or its configuration cannot be
// read. Nothing is shown.
TXI_SVC_CONFIG fxi_svc_query_config(const char *machine, const char *database, const char *service);

// Wait modes of fxi_run_command.
inline constexpr uint16_t DXI_RUN_NO_WAIT = 0;
inline constexpr uint16_t DXI_RUN_WAIT_IDLE = 1;
inline constexpr uint16_t DXI_RUN_WAIT_END = 2;

// Starts the program of `command_line` (its first word, or the text between a leading pair of
// double quotes) with the rest as its parameters and `show` as the show mode, then waits as
// `wait` says (1 until it is idle for input, 2 until it has ended, otherwise not) and takes its
// exit code when asked. Answers 0, or the Windows error of a failed start.
uint32_t fxi_run_command(const char *command_line, int show, uint16_t wait,
                         uint32_t *exit_code = nullptr);

// With an operator at a visible desktop, fxi_run_command shown normally and waiting for the
// end (0 when it started). Without one, the command line is started with CreateProcessA and
// not waited for: non-zero when the process was created.
uint32_t fxi_start_command(const char *command_line);
