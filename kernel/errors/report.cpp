// The unexpected-error report: one per process. It flags the process in the user table, takes
// the activity of the company group under the system semaphore, appends its block to
// kovaerr.log, mails the record on a thread of its own, shows its pages and ends the process
// with status 0.
#include "kernel/errors/report.h"

#include "kernel/coord/queue.h"
#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "kernel/text/text.h"
#include "kernel/ui/presenter.h"
#include "kernel/ui/startup.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

bool (*fxk_last_checkpoint)(const char *company, TXK_BACKUP_MARK *mark) = nullptr;
bool (*fxk_last_full_backup)(const char *company, TXK_BACKUP_MARK *mark) = nullptr;
void (*fxk_company_corrupt)(const char *company, uint16_t code, uint16_t sub_code,
                            const char *message) = nullptr;

TXK_SIGNON &fxk_signon() {
    static auto *facts = new TXK_SIGNON;
    return *facts;
}

namespace {

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

std::string ini_value(int which, const char *company, const char *section, const char *key) {
    std::string value;
    fxi_ini_read(which, company, section, key, "", value);
    return value;
}

} // namespace

TXK_SIGNON fxk_signon_resolved() {
    TXK_SIGNON facts = fxk_signon();
    if (facts.function.empty()) facts.function = fxp_app().function_name;
    if (facts.component.empty()) {
        char path[DXI_PATH_BUFFER] = {}, name[DXI_PATH_PART_MAX + 1] = {},
             ext[DXI_PATH_PART_MAX + 1] = {};
        uint16_t refused =
            fxi_path_split(fxi_module_path(path), nullptr, nullptr, name, ext, nullptr, nullptr);
        // Only a name the suite's components could have identifies one.
        if (!refused && std::strlen(name) <= 8 && std::strlen(ext) <= 3) {
            facts.component = name;
            facts.extension = ext;
        }
    }
    if (facts.version.empty()) facts.version = fxp_app().version;
    if (facts.user_id.empty()) {
        char user[257] = {};
        DWORD size = sizeof user;
        if (GetUserNameA(user, &size)) facts.user_id = user;
    }
    if (facts.company.empty()) facts.company = trimmed(fxi_company());
    if (facts.system_name.empty())
        facts.system_name = ini_value(DXI_INI_INSTALLATION, nullptr, "system", "name");
    if (facts.company_name.empty() && !facts.company.empty())
        facts.company_name = ini_value(DXI_INI_COMPANY, facts.company.c_str(), "company", "name");
    return facts;
}

namespace {

std::atomic<bool> report_running{false};

[[noreturn]] void end_process() {
    std::fflush(nullptr);
    std::_Exit(0);
}

// A second report while one runs: the first one cannot be finished, so the process leaves the
// queue manager and ends.
[[noreturn]] void second_report() {
    CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
    // A connection another thread is using (waiting for a queue, say) is only closed: taking
    // its lock could wait for ever.
    if (queues.connection().connected() &&
        (!queues.lock().held() || queues.lock().owned_by_caller()))
        queues.disconnect();
    fxi_conn_term();
    end_process();
}

void put(char *field, size_t width, const std::string &text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

std::string padded(std::string text, size_t width) {
    text.resize(width, ' ');
    return text;
}

// Sets flag 0x40 in byte 7 of this process's own slot of the user table.
void flag_own_slot(uint16_t slot) {
    if (slot >= fxk_user_slots() || fxk_user_semaphore_held()) return;
    if (fxk_user_readqmsg() != 0) return;
    // The user layer keeps the table it hands out; this process holds it now.
    auto &table = const_cast<std::vector<uint8_t> &>(fxk_user_table());
    size_t at = DXK_USER_TABLE_HEADER + static_cast<size_t>(slot) * DXK_USER_SLOT_SIZE + 7;
    if (at < table.size()) table[at] |= 0x40;
    fxk_user_writeqmsg();
}

// The activity rows of the company group and this process's own activity letter, under the
// system semaphore.
void take_activity(TXK_ERROR_REPORT &r, const TXK_SIGNON &facts, char *own_activity) {
    uint16_t slots = fxk_user_slots();
    if (slots == 0) return;
    fxk_user_openfile();
    for (uint16_t slot = 0; slot < slots; ++slot) {
        if (!fxk_user_slot_used(slot)) continue;
        const uint8_t *entry = fxk_user_table().data() + DXK_USER_TABLE_HEADER +
                               static_cast<size_t>(slot) * DXK_USER_SLOT_SIZE;
        if (std::memcmp(entry + 2, r.record.company, 3) != 0) continue;
        uint8_t record[DXK_USER_RECORD_SIZE] = {};
        fxk_user_readrec(slot, record);
        bool own = slot == facts.user_slot;
        r.rows.push_back(fxk_activity_row(record, own ? r.computer.c_str() : nullptr,
                                          own ? r.client.c_str() : nullptr));
    }
    if (facts.user_slot < slots) {
        uint8_t record[DXK_USER_RECORD_SIZE] = {};
        fxk_user_readrec(facts.user_slot, record);
        *own_activity = static_cast<char>(record[DXK_USER_AT_ACTIVITY]);
    }
    fxk_user_closfile(0);
}

// Appends the block and the separator to kovaerr.log and records where the block lies. False
// when the log cannot be opened.
bool append_to_log(TXK_ERROR_REPORT &r) {
    char directory[DXI_PATH_BUFFER] = {};
    std::string path = std::string(fxi_log_dir(directory, 1)) + DXK_ERROR_LOG;
    HANDLE log =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) return false;
    // Reports of other processes wait, so that each block stays whole where it was measured.
    OVERLAPPED first_byte{};
    bool locked = LockFileEx(log, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first_byte);
    LARGE_INTEGER zero{}, start{};
    SetFilePointerEx(log, zero, &start, FILE_END);
    std::string block = fxk_error_log_block(r);
    std::string text = block + std::string(80, '-') + "\r\n";
    size_t done = 0;
    while (done < text.size()) {
        DWORD wrote = 0;
        if (!WriteFile(log, text.data() + done, static_cast<DWORD>(text.size() - done), &wrote,
                       nullptr) ||
            wrote == 0)
            break;
        done += wrote;
    }
    if (locked) UnlockFileEx(log, 0, 1, 0, &first_byte);
    CloseHandle(log);
    r.record.start = static_cast<uint64_t>(start.QuadPart);
    r.record.end = r.record.start + block.size();
    return true;
}

} // namespace

void fxk_unexpected_error(const char *message, uint16_t code, uint16_t sub_code) {
    fxk_unexpected_error_ex(message, code, sub_code, false);
}

void fxk_unexpected_error_ex(const char *message, uint16_t code, uint16_t sub_code, bool corrupt) {
    if (report_running.exchange(true)) second_report();

    TXK_ERROR_REPORT r;
    TXK_ERROR_RECORD &record = r.record;
    fxd_clock_now(&record.clock);
    TXK_SIGNON facts = fxk_signon_resolved();
    put(record.function, sizeof record.function, facts.function);
    put(record.component, sizeof record.component, facts.component);
    put(record.extension, sizeof record.extension, facts.extension);
    record.entry_point = facts.entry_point;
    put(record.user_id, sizeof record.user_id, facts.user_id);
    put(record.company, sizeof record.company, facts.company);

    CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
    bool connected = queues.present() && queues.connection().connected();
    if (connected) flag_own_slot(facts.user_slot);

    r.code = code;
    r.sub_code = sub_code;
    r.message = fxk_error_message(message);

    char computer[16] = {};
    (void)fxi_computer_name(computer); // an unknown computer leaves the field empty
    r.computer = computer;
    // The client name comes from terminal services, which the POSIX platform never runs.
    r.client.clear();
    char os[81] = {};
    r.os_name = fxk_os_name(os);
    r.version = facts.version.substr(0, 80);
    r.code_text = fxk_error_code_text(code, sub_code);
    r.program_name = facts.component.empty()
                         ? std::string(12, ' ')
                         : padded(facts.component, 8) + "." + padded(facts.extension, 3);
    r.has_entry_point = fxp_argc() > 3;
    r.entry_point = r.has_entry_point ? fxp_argv()[3] : "";
    char date[DXD_FORMAT_ROOM] = {}, time[DXD_FORMAT_ROOM] = {};
    r.date = fxd_date_format(&record.clock.date, date, 2);
    r.time = fxd_time_format(&record.clock.time, time, 2);

    char own_activity = 0;
    if (connected) take_activity(r, facts, &own_activity);
    r.corrupt = corrupt || static_cast<signed char>(own_activity) > static_cast<signed char>('U');

    TXK_ERROR_RECORD mailed{};
    if (append_to_log(r)) mailed = record;
    std::thread mail(fxk_error_mail, new TXK_ERROR_RECORD(mailed));

    if (r.corrupt && fxk_company_corrupt)
        fxk_company_corrupt(facts.company.c_str(), code, sub_code, r.message.c_str());

    if (fxp_presenter.desktop_visible()) {
        fxk_error_pages(r);
    } else {
        // Nobody sees pages: whoever started the program at least learns why it ended.
        std::string text = fxk_error_abort_line(r) + "\n";
        if (!r.message.empty()) text += r.message + "\n";
        fxp_channel.write_error(text);
    }
    mail.join();
    end_process();
}
