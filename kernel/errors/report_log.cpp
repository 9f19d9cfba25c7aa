// What a report says: the error code text, the recorded message, the activity rows and the
// block appended to kovaerr.log.
#include "kernel/errors/report.h"

#include <algorithm>
#include <cstring>

namespace {

// A fixed-width field of a record as text of exactly that width, NULs shown as blanks.
std::string field(const char *text, size_t width) {
    std::string out(text, width);
    std::replace(out.begin(), out.end(), '\0', ' ');
    return out;
}

void put(char *field, size_t width, const char *text) {
    std::memset(field, ' ', width);
    if (text) std::memcpy(field, text, std::min(width, std::strlen(text)));
}

} // namespace

bool fxk_error_record_empty(const TXK_ERROR_RECORD &record) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&record.clock);
    bool clock_zero = std::all_of(bytes, bytes + sizeof record.clock, [](uint8_t b) { return !b; });
    auto zero = [](const char *text, size_t n) {
        return std::all_of(text, text + n, [](char c) { return c == 0; });
    };
    return record.start == 0 && record.end == 0 && clock_zero &&
           zero(record.function, sizeof record.function) &&
           zero(record.component, sizeof record.component) &&
           zero(record.extension, sizeof record.extension) && record.entry_point == 0 &&
           zero(record.user_id, sizeof record.user_id) &&
           zero(record.company, sizeof record.company);
}

bool fxk_activity_corruptible(const TXK_ACTIVITY_ROW &row) {
    return static_cast<signed char>(row.activity) > static_cast<signed char>('U');
}

TXK_ACTIVITY_ROW fxk_activity_row(const uint8_t *record, const char *workstation,
                                  const char *client) {
    TXK_ACTIVITY_ROW row{};
    std::memcpy(row.user_id, record, sizeof row.user_id);
    std::memcpy(row.function, record + 22, sizeof row.function);
    row.activity = static_cast<char>(record[57]);
    for (char *text : {row.user_id, row.function})
        std::replace(text, text + (text == row.user_id ? sizeof row.user_id : sizeof row.function),
                     '\0', ' ');
    put(row.workstation, sizeof row.workstation, workstation);
    put(row.client, sizeof row.client, client);
    return row;
}

std::string fxk_error_code_text(uint16_t code, uint16_t sub_code) {
    unsigned low = code & 0xFF;
    std::string text = {static_cast<char>('0' + (low >> 6)),
                        static_cast<char>('0' + (low >> 3 & 7)),
                        static_cast<char>('0' + (low & 7))};
    if (sub_code != 0) fxd_fmt_append(text, " / %word%,5", sub_code);
    return text;
}

std::string fxk_error_message(const char *message) {
    if (!message) return {};
    if (std::strlen(message) > 80) return "Error message too long!";
    return message;
}

std::string fxk_error_abort_line(const TXK_ERROR_REPORT &r) {
    std::string line;
    return fxd_fmt_assign(line, "Program aborted - Kova error code %str% from \"%txt%\"",
                          r.code_text.c_str(), r.record.function,
                          static_cast<int>(sizeof r.record.function));
}

std::string fxk_error_log_block(const TXK_ERROR_REPORT &r) {
    const TXK_ERROR_RECORD &record = r.record;
    std::string b;
    fxd_fmt_append(b, "On %date%,2 at %time%,2 error code %str% occurred.\r\n", &record.clock.date,
                   &record.clock.time, r.code_text.c_str());
    if (!r.message.empty()) b += r.message + "\r\n";
    fxd_fmt_append(b, "Function Description \"%txt%\"\r\n", record.function,
                   static_cast<int>(sizeof record.function));
    if (!r.client.empty())
        fxd_fmt_append(b,
                       "User ID \"%txt%\" on Client Station \"%str%\" attached to Terminal Server "
                       "\"%str%\" using %str%\r\n",
                       record.user_id, static_cast<int>(sizeof record.user_id), r.client.c_str(),
                       r.computer.c_str(), r.os_name.c_str());
    else
        fxd_fmt_append(b, "User ID \"%txt%\" on Workstation \"%str%\" using %str%\r\n",
                       record.user_id, static_cast<int>(sizeof record.user_id), r.computer.c_str(),
                       r.os_name.c_str());
    bool identified =
        fxd_text_length(record.component, sizeof record.component) != 0 && r.has_entry_point;
    if (identified)
        fxd_fmt_append(b, "The function was %txt%.%txt% %str% entry point %str%\r\n",
                       record.component, static_cast<int>(sizeof record.component),
                       record.extension, static_cast<int>(sizeof record.extension),
                       r.version.c_str(), r.entry_point.c_str());
    else
        fxd_fmt_append(b, "The function was %str%\r\n", r.version.c_str());
    if (r.rows.empty()) {
        b += "The function was running in a singleuser environment\r\n";
    } else {
        b += "The multiuser activity in that company group at that time was:\r\n";
        b += "User                 Function                              Workstation     Client"
             "          Additional Information\r\n";
        for (const TXK_ACTIVITY_ROW &row : r.rows) {
            b += field(row.user_id, sizeof row.user_id) + " " +
                 field(row.function, sizeof row.function) + " " + field(&row.activity, 1) + " " +
                 field(row.workstation, sizeof row.workstation) + " " +
                 field(row.client, sizeof row.client);
            if (fxk_activity_corruptible(row)) b += " CORRUPTIBLE";
            b += "\r\n";
        }
    }
    if (r.corrupt) b += "AS A RESULT, THIS COMPANY GROUP IS NOW CORRUPT!\r\n";
    return b;
}
