// Opens one box, page or window of the kernel through the platform's presenter and prints
// what the operator answered, for scripts/test-windows-gui to drive at a virtual display:
//   kvguidrive error | info | ask Y|N | warn-ask | progress SECONDS | wait SECONDS | prompt |
//              wizard
// The answer is printed on standard output: "answer Y", "cancelled at 37", "completed" ...;
// the text of every box is printed as "box: TEXT" before the box is shown.
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"
#include "kernel/ui/tin.h"
#include "patch/pages.h"

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

// The recipient page of the tool: a licence number that must not be blank, OK and Cancel.
int prompt() {
    PatchRecipientPage recipient;
    uint16_t result = fxp_tin_prompt(&recipient.page, "Specify Recipient");
    say("answer " + std::to_string(result) + " licence [" + recipient.value() + "]");
    return 0;
}

// Two pages as a wizard: the tool's server-drive page, then a last page that finishes; Back
// on the last page returns to the first with the drive chosen so far.
int wizard() {
    char drive = 'C';
    for (int step = 0; step < 10;) {
        if (step == 0) {
            PatchDrivePage page("C:|C|D:|D|", drive);
            uint16_t result = fxp_tin_prompt(&page.page, "Select Server Drive");
            drive = page.root[0];
            say("drive page " + std::to_string(result) + " drive " + std::string(1, drive));
            if (result != 1) return 0;
            step = 1;
            continue;
        }
        std::string text = std::string("The patch will be installed on drive ") + drive + ":.";
        TXP_TIN_ICB fields[3];
        fields[0].kind = 'K';
        fields[0].type = 'Z';
        fields[0].label = "Ready to Install";
        fields[0].handler = fxp_tin_group;
        fields[1].kind = 'K';
        fields[1].type = 'P';
        fields[1].label = text.c_str();
        fields[2].kind = 'K';
        fields[2].type = 'Z';
        fields[2].spec = "<< Back|0|Finish|1|";
        fields[2].flags = DXP_TIN_ALWAYS_USABLE;
        fields[2].handler = fxp_tin_buttons;
        fields[2].exit_check = fxp_tin_buttons_exit;
        TXP_TIN_T page;
        page.fields = fields;
        page.count = 3;
        uint16_t result = fxp_tin_prompt(&page, "Ready to Install");
        say("last page " + std::to_string(result));
        if (result == 1) {
            say("finished on drive " + std::string(1, drive));
            return 0;
        }
        step = 0;
    }
    return 0;
}

// Every box says its text on standard output before it is shown, so that the script can tell
// which message a page gave.
int (*platform_box)(HWND, const char *, const char *, UINT) = nullptr;
int told_box(HWND owner, const char *text, const char *title, UINT style) {
    say(std::string("box: ") + (text ? text : ""));
    return platform_box(owner, text, title, style);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(
            stderr,
            "usage: kvguidrive error|info|ask Y|N|warn-ask|progress S|wait S|prompt|wizard\n");
        return 2;
    }
    fxp_presenter_platform();
    platform_box = fxp_presenter.box;
    fxp_presenter.box = told_box;
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
    } else if (command == "prompt") {
        return prompt();
    } else if (command == "wizard") {
        return wizard();
    } else {
        std::fprintf(stderr, "kvguidrive: unknown command %s\n", command.c_str());
        return 2;
    }
    return 0;
}
