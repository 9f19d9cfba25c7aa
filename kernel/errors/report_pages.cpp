// The pages of the unexpected-error report: Error, Details, Not corrupt and Corrupt, shown as
// prompt pages captioned "kova brisel Error" while the root window is in dialog mode.
#include "kernel/errors/report.h"

#include "kernel/files/install.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/startup.h"
#include "kernel/ui/tin.h"

#include <string>
#include <vector>

namespace {

constexpr const char *caption = "kova brisel Error";

// Whether the operator's input has ended: a page that can only be left by a button would
// otherwise come back for ever.
bool input_ended = false;
int (*page_keys)() = nullptr;

int watched_key() {
    int key = page_keys();
    if (key == DXP_KEY_END_OF_INPUT) input_ended = true;
    return key;
}

TXP_TIN_ICB prompt_text(const std::string &text) {
    TXP_TIN_ICB field;
    field.label = text.c_str();
    field.kind = 'K';
    field.type = 'P';
    return field;
}

TXP_TIN_ICB button_row(const char *spec) {
    TXP_TIN_ICB field;
    field.kind = 'K';
    field.type = 'Z';
    field.spec = spec;
    field.flags = DXP_TIN_ALWAYS_USABLE;
    field.handler = fxp_tin_buttons;
    field.exit_check = fxp_tin_buttons_exit;
    return field;
}

uint16_t run_page(std::vector<TXP_TIN_ICB> &fields) {
    TXP_TIN_T page;
    page.fields = fields.data();
    page.count = static_cast<uint16_t>(fields.size());
    return fxp_tin_prompt(&page, caption);
}

uint16_t error_page(const TXK_ERROR_REPORT &r) {
    std::string abort_line = fxk_error_abort_line(r);
    std::string message_line = r.message.substr(0, 50);
    const std::string unexpected = "kova brisel has encountered an unexpected error condition.";
    const std::string advice = "Please advise your system administrator or kova brisel support "
                               "provider of the above error immediately.";
    std::vector<TXP_TIN_ICB> fields = {prompt_text(abort_line)};
    if (!message_line.empty()) fields.push_back(prompt_text(message_line));
    fields.push_back(prompt_text(unexpected));
    fields.push_back(prompt_text(advice));
    fields.push_back(button_row("More Info|1|Next >>|2|"));
    return run_page(fields);
}

// One display-only field of the Details page and the value behind it.
struct Detail {
    const char *label;
    std::string value;
    size_t width;
    const char *help;
};

uint16_t details_page(const TXK_ERROR_REPORT &r) {
    std::vector<Detail> details = {
        {"Function Name", std::string(r.record.function, sizeof r.record.function), 35,
         "This is the title of the function as described by the scheduler which started it."},
        {"Error Code", r.code_text, 11, "This value identifies the type of problem."},
        {"Program Name", r.program_name, 12, "This is the program's component identity."},
        {"Entry Point", r.entry_point, 3,
         "This identifies for multi-function programs, which function was in operation"},
        {"Version", r.version, 80,
         "This identifies the point in the product development cycle at which this version of "
         "this program was produced"},
        {"User ID", std::string(r.record.user_id, sizeof r.record.user_id), 20,
         "This identifies the currently logged in user"},
        {"Workstation Name", r.computer, 15, "This identifies the workstation in use"},
        {"Workstation OS", r.os_name, 80, "This identifies the operating system in use"},
        {"Client Name", r.client, 48,
         "This identifies the hosting workstation in a terminal server client environment"},
        {"Date", r.date, 29, "This identifies the date the error occurred"},
        {"Time", r.time, 8, "This identifies the time the error occurred"},
    };
    std::vector<TXP_TIN_ICB> fields;
    TXP_TIN_ICB group;
    group.label = "Details";
    group.kind = 'K';
    group.type = 'Z';
    group.handler = fxp_tin_group;
    fields.push_back(group);
    for (Detail &d : details) {
        d.value.resize(d.width, ' ');
        TXP_TIN_ICB field;
        field.label = d.label;
        field.kind = 'K';
        field.type = 'L';
        field.value = d.value.data();
        field.length = static_cast<uint16_t>(d.width);
        field.flags = DXP_TIN_DISPLAY_ONLY;
        field.help = d.help;
        fields.push_back(field);
    }
    fields.push_back(button_row("<< Back|0|Print|1|"));
    return run_page(fields);
}

uint16_t not_corrupt_page(const TXK_ERROR_REPORT &r) {
    std::string text;
    fxd_fmt_assign(text,
                   "Your kova brisel %txt% data is not corrupt. This function will now exit but "
                   "other users will continue to operate normally.",
                   r.record.company, static_cast<int>(sizeof r.record.company));
    std::vector<TXP_TIN_ICB> fields = {prompt_text(text), button_row("<< Back|0|Exit|1|")};
    return run_page(fields);
}

std::string backup_line(const char *company, const char *kind, const char *none,
                        bool (*source)(const char *, TXK_BACKUP_MARK *)) {
    TXK_BACKUP_MARK mark{};
    if (!source || !source(company, &mark)) return none;
    std::string line;
    return fxd_fmt_assign(
        line, "Your last %str% %str% was taken at %time%,1 on %date2%,2 by %txt%.", company, kind,
        &mark.time, &mark.date, mark.user_id, static_cast<int>(sizeof mark.user_id));
}

uint16_t corrupt_page(const TXK_ERROR_REPORT &r) {
    std::string company(r.record.company, sizeof r.record.company);
    std::string text;
    fxd_fmt_assign(text,
                   "Your kova brisel %str% data is corrupt and you will need to use the kova "
                   "brisel \"Restore Data\" function to recover your %str% system from a backup.",
                   company.c_str(), company.c_str());
    std::string checkpoint = backup_line(
        company.c_str(), "checkpoint", "There are no available checkpoints.", fxk_last_checkpoint);
    std::string backup = backup_line(company.c_str(), "full backup",
                                     "There are no available full backups.", fxk_last_full_backup);
    const std::string rekey = "Once you have performed a restore you will need to re-key any "
                              "data entered since the time of the backup.";
    const std::string corrective = "Please take any corrective action implied by the error "
                                   "message before proceeding to re-enter lost data or running "
                                   "this function again.";
    std::vector<TXP_TIN_ICB> fields = {
        prompt_text(text),       prompt_text(checkpoint),
        prompt_text(backup),     prompt_text(rekey),
        prompt_text(corrective), button_row("<< Back|0|View Recovery Steps|1|Exit|2|")};
    return run_page(fields);
}

void print_report(const TXK_ERROR_REPORT &r) {
    bool printed = false;
    std::string file = fxk_error_print(r, &printed);
    if (printed) return;
    if (file.empty())
        fxp_msg_error("The error report could not be written.");
    else
        fxp_msg_infof("There is no printer to take the error report; it is in %str%.",
                      file.c_str());
}

void recovery_steps() {
    std::string address = fxk_recovery_address(fxi_release());
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.lpVerb = "open";
    info.lpFile = address.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&info)) fxp_msg_infof("The recovery steps are at %str%", address.c_str());
}

void run_pages(const TXK_ERROR_REPORT &r) {
    for (;;) {
        uint16_t choice = error_page(r);
        if (input_ended) return;
        if (choice == 1) {
            while (details_page(r) == 1 && !input_ended) print_report(r);
        } else if (choice == 2 && r.corrupt) {
            uint16_t answer;
            while ((answer = corrupt_page(r)) == 1 && !input_ended) recovery_steps();
            if (answer == 2 || input_ended) return;
        } else if (choice == 2) {
            if (not_corrupt_page(r) == 1 || input_ended) return;
        }
    }
}

} // namespace

std::string fxk_recovery_address(uint8_t release_level) {
    std::string address;
    return fxd_fmt_assign(address, "https://support.kovabrisel.com/recovery/release%byte%,5.html",
                          release_level);
}

void fxk_error_pages(const TXK_ERROR_REPORT &r) {
    TXP_APP &app = fxp_app();
    uint32_t flags = app.root_flags;
    app.root_flags = DXP_ROOT_DIALOG;
    page_keys = fxp_term_tin_key;
    fxp_term_tin_key = watched_key;
    input_ended = false;
    run_pages(r);
    fxp_term_tin_key = page_keys;
    app.root_flags = flags;
}
