// The unexpected-error report and the postmortem file. A kernel layer that meets a condition it
// cannot recover from calls the report, which records what happened in kovaerr.log, tells the
// operator, mails the record to support when the company wants that, and ends the process. A
// crash reaches the postmortem filter, which writes a postmortem file and hands it to the
// postmortem hook.
#pragma once

#include "kernel/text/format.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// ---- What the report records of the running function ----------------------------------------

// The facts of the sign-on layer. A program that signs on fills them; every one left empty is
// taken when the report runs from what the kernel knows: the function description is the
// application's current function name, the component the running program's file name and
// extension, the version the application's version text, the user the login name, the
// company the installation's current company, the system and company names the key "name" of
// section "system" of kova.ini and of section "company" of the company's file.
struct TXK_SIGNON {
    std::string function;  // description of the running function, up to 35 characters
    std::string component; // the component's name, up to 8 characters
    std::string extension; // and its extension, up to 3
    uint8_t entry_point = 0;
    std::string version;        // up to 80 characters
    std::string user_id;        // up to 20 characters
    uint16_t user_slot = 65535; // this process's slot of the user table; 65535 for none
    std::string company;        // the 3-character company code
    std::string system_name;
    std::string company_name;
    uint32_t revision = 0; // the program's revision number
};

TXK_SIGNON &fxk_signon();
// The facts with every empty one taken from what the kernel knows.
TXK_SIGNON fxk_signon_resolved();

// The record of one report, handed to the mail thread. All zero: nothing to mail.
struct TXK_ERROR_RECORD {
    uint64_t start = 0; // where the report's text begins in kovaerr.log
    uint64_t end = 0;   // where it ends, before the separator line
    TXD_CLOCK clock{};
    char function[35] = {}; // the function's description, blank-padded
    char component[8] = {};
    char extension[3] = {};
    uint8_t entry_point = 0;
    char user_id[20] = {}; // blank-padded
    char company[3] = {};
};

bool fxk_error_record_empty(const TXK_ERROR_RECORD &record);

// One user of the company group, from that user's record of the users file.
struct TXK_ACTIVITY_ROW {
    char user_id[20];
    char function[35];
    char activity; // above 'U' (as a signed byte): the function is in a corruptible phase
    char workstation[15];
    char client[48];
    uint8_t zero[4];
};

bool fxk_activity_corruptible(const TXK_ACTIVITY_ROW &row);
// A row from a 64-byte users-file record: user identification at 0, function at 22, activity
// letter at 57. The record has no room for the workstation and the client name: they stay
// blank unless given.
TXK_ACTIVITY_ROW fxk_activity_row(const uint8_t *record, const char *workstation = nullptr,
                                  const char *client = nullptr);

// ---- The report -----------------------------------------------------------------------------

// Everything one report shows, logs and prints.
struct TXK_ERROR_REPORT {
    TXK_ERROR_RECORD record;
    uint16_t code = 0, sub_code = 0;
    std::string message;      // empty when absent; a longer one than 80 is already replaced
    std::string code_text;    // fxk_error_code_text
    std::string program_name; // 12: component (8), a dot, extension (3); blanks when unknown
    std::string entry_point;  // the program's third argument (3 on pages), empty with fewer
    bool has_entry_point = false;
    std::string version;    // 80
    std::string computer;   // 15
    std::string os_name;    // 80
    std::string client;     // 48; empty outside terminal services
    std::string date, time; // date style 2, time style 2
    std::vector<TXK_ACTIVITY_ROW> rows;
    bool corrupt = false;
};

// Ends the process after reporting the message (may be null), error code and sub-code; the
// second form also says whether the failure left the company's data corrupt. A process makes
// one report: a second call while one runs ends the process at once. Exit status 0.
[[noreturn]] void fxk_unexpected_error(const char *message, uint16_t code, uint16_t sub_code);
[[noreturn]] void fxk_unexpected_error_ex(const char *message, uint16_t code, uint16_t sub_code,
                                          bool corrupt);

// The low 8 bits of the code as three octal digits, then " / " and the sub-code in decimal
// when the sub-code is not 0: code 65 gives "101", with sub-code 3 "101 / 3".
std::string fxk_error_code_text(uint16_t code, uint16_t sub_code);
// The message as recorded: empty when absent, "Error message too long!" above 80 characters.
std::string fxk_error_message(const char *message);

// "Program aborted - Kova error code <code text> from "<function>"", the pages' first line.
std::string fxk_error_abort_line(const TXK_ERROR_REPORT &report);

// The block the report appends to kovaerr.log, each line ending in CR LF, without the
// separator line of 80 '-' that follows it.
std::string fxk_error_log_block(const TXK_ERROR_REPORT &report);
inline constexpr const char *DXK_ERROR_LOG = "kovaerr.log";

// The printed report as 132-column lines, pages of `page_lines` lines separated by form feeds.
std::string fxk_error_print_text(const TXK_ERROR_REPORT &report, int page_lines);
// Writes the printed report into the log directory and hands it to the default printer (the
// host's lp) when there is one. Answers the file's path (empty when it could not be written);
// `printed` tells whether the printer took it.
std::string fxk_error_print(const TXK_ERROR_REPORT &report, bool *printed);

// The pages of the report (Error, Details, Not corrupt, Corrupt), shown while the root window
// is in dialog mode.
void fxk_error_pages(const TXK_ERROR_REPORT &report);

// The supplier's support address and its recovery instructions for a release level.
inline constexpr const char *DXK_SUPPORT_ADDRESS = "support@kovabrisel.com";
std::string fxk_recovery_address(uint8_t release_level);

// ---- What the data and backup layers tell the report ----------------------------------------
// Those layers are not part of this kernel; until a program provides them, there are no
// checkpoints or full backups and a corrupt company group is only recorded.

struct TXK_BACKUP_MARK {
    TXD_TIME time;
    TXD_DATE2 date;
    char user_id[20];
};
extern bool (*fxk_last_checkpoint)(const char *company, TXK_BACKUP_MARK *mark);
extern bool (*fxk_last_full_backup)(const char *company, TXK_BACKUP_MARK *mark);
extern void (*fxk_company_corrupt)(const char *company, uint16_t code, uint16_t sub_code,
                                   const char *message);

// ---- Mail -----------------------------------------------------------------------------------

// The direct SMTP sender reports and postmortem files go through: recipient, sender name,
// subject, body and an optional attachment; answers 0 or an error code. The mail layer's
// sender, unless a test puts its own in place.
using TXK_MAIL_SENDER = uint16_t (*)(const char *recipient, const char *sender, const char *subject,
                                     const char *body, const char *attachment);
extern TXK_MAIL_SENDER fxk_error_mail_sender;

// The thread function that mails one report record; it owns the record and deletes it.
void fxk_error_mail(TXK_ERROR_RECORD *record);
// The subject of a report's mail: Error report from "<system>" Company "<name>" (<code>).
std::string fxk_error_mail_subject(const char *system_name, const char *company_name,
                                   const char *company);
// Whether reports may be mailed: not for users of the supplier's own domain (USERDOMAIN
// "SYSKOVA" or KOVADOMAIN beginning with Y), and only when the company's setting
// "emailerrors" of section "support" begins with Y.
bool fxk_error_mail_allowed();

// ---- Postmortem -----------------------------------------------------------------------------

// The unhandled-exception filter start-up installs.
LONG WINAPI fxk_postmortem_filter(PEXCEPTION_POINTERS exception);
// Writes a postmortem file of the process (with the exception, when given) into the temporary
// directory, named after the program with ".DMP"; its path goes to `path` (DXI_PATH_BUFFER
// bytes). False when no file could be written.
bool fxk_postmortem_dump(char *path, PEXCEPTION_POINTERS exception);
// The dump type for a dump library of the given version: 0x21A25, below 5.2 without the bits
// 0x3E0 and 0x1F3C00, from 5.2 to 6.1 without 0x1F3C00.
DWORD fxk_dump_type(WORD major, WORD minor);
// Stores the dump in the archive directory as a ZIP archive, or as a plain copy with the
// extension "dmp" when that fails; the stored file's path goes to `out` (DXI_PATH_BUFFER
// bytes) and is answered. When the copy fails too, the dump's own path.
char *fxk_dump_archive(const char *dump, char *out);
// The archive's name without its extension: the clock in clock style 6, followed, when the
// process is attached to the system, by the component, entry point, user and function with
// blanks and characters that names cannot hold made "_".
std::string fxk_dump_archive_name(const TXD_CLOCK &clock, bool attached);
// The operating system's name into `out` (81 bytes): the host system where the platform names
// one (POSIX), else the Windows name from the version information.
char *fxk_os_name(char *out);
// The Windows name of a version record; `product_type` is the registry's "ProductType" for
// records without extended information (may be null).
std::string fxk_os_name_windows(const OSVERSIONINFOEXA &version, bool extended,
                                const char *product_type);

// Called with the dump's path after a crash, when set; the attachment to the system sets it to
// fxk_postmortem_mail.
extern void (*fxk_postmortem_hook)(const char *dump_path);
// Archives the dump and mails it to support (asking first in the supplier's own domain).
void fxk_postmortem_mail(const char *dump_path);
