// Opens one box or window of the kernel through the platform's presenter and prints what the
// operator answered, for scripts/test-windows-gui to drive at a virtual display:
//   kvguidrive error | info | ask Y|N | warn-ask | progress SECONDS | wait SECONDS
// The answer is printed on standard output: "answer Y", "cancelled at 37", "completed" ...
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string answer_name(int answer) {
    if (answer == DXP_ANSWER_ESCAPE) return "ESC";
    if (answer == DXP_ANSWER_YES || answer == DXP_ANSWER_NO) return std::string(1, char(answer));
    return std::to_string(answer);
}

void say(const std::string &text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// Percentages from 0 to 100 spread over `seconds`, with the status line of an extraction.
int progress(int seconds) {
    TXP_PROG_T prog;
    fxp_prog_init(&prog);
    fxp_prog_open(&prog, "Do you wish to stop extracting the patch?", "Processing DEMO.KVZ",
                  DXP_PROG_AUTO_WIDTH, DXP_PROG_STATUS);
    DWORD start = GetTickCount(), total = static_cast<DWORD>(seconds) * 1000;
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        uint16_t percent = elapsed >= total ? 100 : static_cast<uint16_t>(elapsed * 100 / total);
        if (fxp_prog_linef(&prog, "%str%ing %str%", "Extract", "KVPATCH.DAT") ||
            fxp_prog_percent(&prog, percent)) {
            say("cancelled at " + std::to_string(percent));
            fxp_prog_close(&prog);
            return 0;
        }
        if (percent == 100) break;
        Sleep(20);
    }
    fxp_prog_close(&prog);
    say("completed");
    return 0;
}

int wait(int seconds) {
    CXP_PWIN pwin;
    if (!pwin.open("Do you wish to stop waiting?", nullptr, 20, 0, nullptr)) {
        say("not shown");
        return 0;
    }
    if (pwin.line("Checking for KOVA Services")) {
        say("cancelled");
        return 0;
    }
    say(pwin.wait(static_cast<uint16_t>(seconds), nullptr) ? "cancelled" : "waited");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: kvguidrive error|info|ask Y|N|warn-ask|progress S|wait S\n");
        return 2;
    }
    fxp_presenter_platform();
    std::string command = argv[1];
    int value = argc > 2 ? std::atoi(argv[2]) : 0;
    if (command == "error") {
        say("answer " + std::to_string(fxp_msg_error3("The patch could not be installed.",
                                                      "File KVPATCH.DAT is damaged.", nullptr)));
    } else if (command == "info") {
        say("answer " + std::to_string(fxp_msg_info2("Patch 12 installed.", "Restart KOVA.")));
    } else if (command == "ask") {
        int default_answer = argc > 2 && argv[2][0] == 'Y' ? DXP_ANSWER_YES : DXP_ANSWER_NO;
        say("answer " +
            answer_name(fxp_msg_ask(nullptr, "Patch 12 for KOVA Brisel",
                                    "Do you wish to install this patch?", default_answer)));
    } else if (command == "warn-ask") {
        say("answer " +
            answer_name(fxp_msg_warn_ask("SYSTEM IN USE!", "Other users are working in KOVA.",
                                         "Do you wish to proceed?", DXP_ANSWER_NO)));
    } else if (command == "progress") {
        return progress(value > 0 ? value : 10);
    } else if (command == "wait") {
        return wait(value > 0 ? value : 10);
    } else {
        std::fprintf(stderr, "kvguidrive: unknown command %s\n", command.c_str());
        return 2;
    }
    return 0;
}
