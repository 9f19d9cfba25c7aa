// The tool's two pages built as their callers build them: the server-drive page (a choice of
// drives and "<< Back" / "Next >>") and the recipient page (a six-character licence number and
// "OK" / "Cancel").
#pragma once

#include "kernel/ui/tin.h"

#include <cstring>
#include <iterator>
#include <string>

namespace pages_test {

struct DrivePage {
    char root[4] = "C:\\";
    std::string choices;
    TXP_TIN_ICB fields[4];
    TXP_TIN_T page;

    DrivePage(const char *drive_choices, char drive) : choices(drive_choices) {
        root[0] = drive;
        fields[0].kind = 'K';
        fields[0].type = 'Z';
        fields[0].label = "Select Server Drive";
        fields[0].handler = fxp_tin_group;
        fields[1].kind = 'K';
        fields[1].type = 'P';
        fields[1].label = "Please select the server drive containing your KOVA systems:";
        fields[2].kind = 'T';
        fields[2].type = 'L';
        fields[2].label = "Server drive";
        fields[2].value = root;
        fields[2].length = 1;
        fields[2].spec = choices.c_str();
        fields[2].flags = 0x40008800;
        fields[2].help = "Select the server drive that contains your KOVA systems.";
        fields[3].kind = 'K';
        fields[3].type = 'Z';
        fields[3].spec = "<< Back|0|Next >>|1|";
        fields[3].flags = 0x100;
        fields[3].handler = fxp_tin_buttons;
        fields[3].exit_check = fxp_tin_buttons_exit;
        page.fields = fields;
        page.count = static_cast<uint16_t>(std::size(fields));
    }
    DrivePage(const DrivePage &) = delete;
    DrivePage &operator=(const DrivePage &) = delete;
};

struct RecipientPage {
    char licence[6];
    TXP_TIN_ICB fields[2];
    TXP_TIN_T page;

    RecipientPage() {
        std::memset(licence, ' ', sizeof licence);
        fields[0].kind = 'K';
        fields[0].type = 'L';
        fields[0].label = "Kernel license number";
        fields[0].value = licence;
        fields[0].length = sizeof licence;
        fields[0].spec = "!|...|";
        fields[0].flags = 0x8000;
        fields[1].kind = 'K';
        fields[1].type = 'Z';
        fields[1].spec = "OK|1|Cancel|0|";
        fields[1].flags = 0x100;
        fields[1].handler = fxp_tin_buttons;
        fields[1].exit_check = fxp_tin_buttons_exit;
        page.fields = fields;
        page.count = static_cast<uint16_t>(std::size(fields));
    }
    RecipientPage(const RecipientPage &) = delete;
    RecipientPage &operator=(const RecipientPage &) = delete;
    std::string value() const { return std::string(licence, sizeof licence); }
};

} // namespace pages_test
