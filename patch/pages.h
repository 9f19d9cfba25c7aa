// The tool's two prompt pages: the server-drive page of an installation and the recipient
// page of the collection share.
#pragma once

#include "kernel/ui/tin.h"

#include <cstring>
#include <iterator>
#include <string>

// A choice of the drives that carry an installation ("C:|C|F:|F|"); the choice sets the
// drive letter of `root`. "<< Back" leaves with 0, "Next >>" with 1.
struct PatchDrivePage {
    char root[4] = "C:\\";
    std::string choices;
    TXP_TIN_ICB fields[4];
    TXP_TIN_T page;

    PatchDrivePage(const std::string &drive_choices, char drive) : choices(drive_choices) {
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
        fields[2].flags = DXP_TIN_QUIET_CHECK | DXP_TIN_VALIDATE | DXP_TIN_REFRESH_GROUP;
        fields[2].help = "Select the server drive that contains your KOVA systems.";
        fields[3].kind = 'K';
        fields[3].type = 'Z';
        fields[3].spec = "<< Back|0|Next >>|1|";
        fields[3].flags = DXP_TIN_ALWAYS_USABLE;
        fields[3].handler = fxp_tin_buttons;
        fields[3].exit_check = fxp_tin_buttons_exit;
        page.fields = fields;
        page.count = static_cast<uint16_t>(std::size(fields));
    }
    PatchDrivePage(const PatchDrivePage &) = delete;
    PatchDrivePage &operator=(const PatchDrivePage &) = delete;
};

// The customer's six-character licence number; "OK" leaves with 1, "Cancel" with 0.
struct PatchRecipientPage {
    char licence[6];
    TXP_TIN_ICB fields[2];
    TXP_TIN_T page;

    PatchRecipientPage() {
        std::memset(licence, ' ', sizeof licence);
        fields[0].kind = 'K';
        fields[0].type = 'L';
        fields[0].label = "Kernel license number";
        fields[0].value = licence;
        fields[0].length = sizeof licence;
        fields[0].spec = "!|...|";
        fields[0].flags = DXP_TIN_VALIDATE;
        fields[1].kind = 'K';
        fields[1].type = 'Z';
        fields[1].spec = "OK|1|Cancel|0|";
        fields[1].flags = DXP_TIN_ALWAYS_USABLE;
        fields[1].handler = fxp_tin_buttons;
        fields[1].exit_check = fxp_tin_buttons_exit;
        page.fields = fields;
        page.count = static_cast<uint16_t>(std::size(fields));
    }
    PatchRecipientPage(const PatchRecipientPage &) = delete;
    PatchRecipientPage &operator=(const PatchRecipientPage &) = delete;
    std::string value() const { return std::string(licence, sizeof licence); }
};
