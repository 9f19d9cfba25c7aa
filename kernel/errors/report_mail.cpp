// Mailing to support: the record of an unexpected-error report with a dump of the process, and
// the postmortem file of a crash.
#include "kernel/errors/report.h"

#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "kernel/mail/mail.h"
#include "kernel/text/text.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint64_t attachment_limit = 4194304;

std::string environment(const char *name) {
    char value[1025] = {};
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

bool supplier_domain() {
    std::string domain = environment("USERDOMAIN");
    std::string kova = environment("KOVADOMAIN");
    return fxd_compare_nocase(domain.c_str(), "SYSKOVA", 8) == 0 ||
           (!kova.empty() && fxd_upper_char(kova[0]) == 'Y');
}

// A company setting of section "support".
std::string support_setting(const char *company, const char *key, const char *default_value) {
    std::string value;
    return fxi_ini_read(DXI_INI_COMPANY, company, "support", key, default_value, value);
}

std::string program_name() {
    char path[DXI_PATH_BUFFER] = {}, name[DXI_PATH_PART_MAX + 1] = {};
    // A path the split refuses leaves the name empty; a caption can do without it.
    (void)fxi_path_split(fxi_module_path(path), nullptr, nullptr, name, nullptr, nullptr, nullptr);
    return name;
}

// The text of kovaerr.log between two offsets.
std::string log_text(uint64_t start, uint64_t end) {
    char directory[DXI_PATH_BUFFER] = {};
    std::string path = std::string(fxi_log_dir(directory, 1)) + DXK_ERROR_LOG;
    if (end <= start) return {};
    TXI_FILE log;
    std::string text(end - start, '\0');
    if (log.open(path.c_str(), DXI_FILE_READ | DXI_FILE_SHARED) != 0 || log.seek_to(start) != 0)
        return {};
    uint32_t done = 0;
    if (log.read(text.data(), static_cast<uint32_t>(text.size()), &done) != 0) return {};
    text.resize(done);
    return text;
}

std::string smtp_setting(const char *key) {
    std::string value;
    return fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "smtp", key, "", value);
}

// Sends over SMTP as section "smtp" of kova.ini configures it; the sender name is completed
// with the configured domain into the sender's address.
uint16_t send_over_smtp(const char *recipient, const char *sender, const char *subject,
                        const char *body, const char *attachment) {
    TXK_SMTP_MESSAGE message;
    message.server = smtp_setting("server");
    message.username = smtp_setting("username");
    message.password = smtp_setting("password");
    std::string domain = smtp_setting("domain");
    std::string from = sender ? sender : "";
    if (from.find('@') == std::string::npos && !domain.empty())
        from += "@" + domain;
    else if (from.find('@') == std::string::npos && !smtp_setting("from").empty())
        from = smtp_setting("from");
    message.from = from;
    message.to = recipient ? recipient : "";
    message.subject = subject ? subject : "";
    message.body = body ? body : "";
    if (attachment) message.attachments = attachment;
    if (message.server.empty()) return DXK_MAIL_SEND_FAILED;
    std::string error;
    return fxk_smtp_send(message, &error) ? 0 : DXK_MAIL_SEND_FAILED;
}

} // namespace

TXK_MAIL_SENDER fxk_error_mail_sender = send_over_smtp;

std::string fxk_error_mail_subject(const char *system_name, const char *company_name,
                                   const char *company) {
    std::string subject;
    return fxd_fmt_assign(subject, "Error report from \"%str%\" Company \"%str%\" (%txt%)",
                          system_name ? system_name : "", company_name ? company_name : "",
                          company ? company : "", company ? 3 : 0);
}

bool fxk_error_mail_allowed() {
    if (supplier_domain()) return false;
    std::string company = fxk_signon_resolved().company;
    std::string allowed =
        support_setting(company.empty() ? nullptr : company.c_str(), "emailerrors", "N");
    return !allowed.empty() && fxd_upper_char(allowed[0]) == 'Y';
}

void fxk_error_mail(TXK_ERROR_RECORD *owned) {
    std::unique_ptr<TXK_ERROR_RECORD> record(owned);
    if (!record || fxk_error_record_empty(*record)) return;

    char dump[DXI_PATH_BUFFER] = {}, stored[DXI_PATH_BUFFER] = {};
    std::string attachment;
    if (fxk_postmortem_dump(dump, nullptr)) attachment = fxk_dump_archive(dump, stored);

    if (!fxk_error_mail_allowed()) return;
    TXK_SIGNON facts = fxk_signon_resolved();
    std::string company(record->company, sizeof record->company);
    std::string subject = fxk_error_mail_subject(facts.system_name.c_str(),
                                                 facts.company_name.c_str(), company.c_str());
    std::string body = log_text(record->start, record->end);
    std::string trimmed_company = company;
    fxd_string_trim(trimmed_company);
    std::string to = support_setting(trimmed_company.empty() ? nullptr : trimmed_company.c_str(),
                                     "email", DXK_SUPPORT_ADDRESS);
    fxk_error_mail_sender(to.c_str(), "kovaerror", subject.c_str(), body.c_str(),
                          attachment.empty() ? nullptr : attachment.c_str());
}

void fxk_postmortem_mail(const char *dump_path) {
    char stored[DXI_PATH_BUFFER] = {};
    std::string archive = dump_path && *dump_path ? fxk_dump_archive(dump_path, stored) : "";
    uint64_t size = 0;
    TXI_FILE stored_file;
    // An archive of unknown size is attached; the mail layer reports what it cannot send.
    if (!archive.empty()) (void)stored_file.length(&size, archive.c_str());

    std::string caption = program_name();
    if (supplier_domain() && fxd_upper_char(environment("PROGINIT")[0]) == 'Y' &&
        fxp_presenter.desktop_visible() &&
        fxp_msg_box(nullptr,
                    "Would you like to send the postmortem diagnostic file to Kova support?",
                    caption.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    char computer[16] = {};
    (void)fxi_computer_name(computer); // an unknown computer leaves the field empty
    char program[DXI_PATH_BUFFER] = {}, module[DXI_PATH_BUFFER] = {};
    fxi_module_path(program);
    // The kernel's name of the program may carry an extension the file itself lacks.
    GetModuleFileNameA(nullptr, module, sizeof module);
    TXD_CLOCK released{};
    // Without either time the release date stays empty; the mail is still worth sending.
    if (fxi_time_by_name(program, &released) != 0) (void)fxi_time_by_name(module, &released);
    // Terminal services, which would name a client station, never run on POSIX.
    std::string body;
    fxd_fmt_assign(body, "Workstation %str%, ", computer);
    fxd_fmt_append(body,
                   "Component %str%, Revision %dword%,5 Released %date%,1 %time%,1.\r\n\r\n"
                   "Command Line: %str%\r\n",
                   program, fxk_signon_resolved().revision, &released.date, &released.time,
                   GetCommandLineA());
    const char *attachment = archive.empty() ? nullptr : archive.c_str();
    if (size > attachment_limit) {
        fxd_fmt_append(body, "\r\n\r\n***** DUMP FILE %str% NOT ATTACHED AS IT EXCEEDS 4MB! *****",
                       archive.c_str());
        attachment = nullptr;
    }
    std::string company = fxk_signon_resolved().company;
    std::string to =
        support_setting(company.empty() ? nullptr : company.c_str(), "email", DXK_SUPPORT_ADDRESS);
    uint16_t status = fxk_error_mail_sender(to.c_str(), "kovaerror",
                                            "An Kova function has caused an exception error",
                                            body.c_str(), attachment);
    std::string result;
    if (status == 0)
        result = "Postmortem file sent successfully";
    else
        fxd_fmt_assign(result, "Error sending postmortem file - %word%,5", status);
    fxp_msg_box(nullptr, result.c_str(), caption.c_str(),
                MB_OK | (status ? MB_ICONEXCLAMATION : MB_ICONINFORMATION));
}
