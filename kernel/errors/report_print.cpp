// The printed error report: 132-column pages with a numbered header, written into the log
// directory and handed to the default printer.
#include "kernel/errors/report.h"

#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "platform/host.h"

#include <string>
#include <vector>

namespace {

constexpr size_t page_width = 132;

// Puts `text` into `line` at `column`, widening the line as needed.
void place(std::string &line, size_t column, const std::string &text) {
    if (line.size() < column + text.size()) line.resize(column + text.size(), ' ');
    line.replace(column, text.size(), text);
}

std::string without_trailing_blanks(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

std::string fixed(const char *text, size_t width) {
    std::string out(text, width);
    for (char &c : out)
        if (c == '\0') c = ' ';
    return out;
}

std::string field_line(const char *label, const std::string &value) {
    std::string line = label;
    place(line, 40, without_trailing_blanks(value));
    return line;
}

std::string page_header(unsigned page) {
    std::string line;
    place(line, 51, "KOVA UNEXPECTED ERROR REPORT");
    place(line, 121, "PAGE");
    std::string number;
    place(line, 126, fxd_fmt_assign(number, "%word%,1", static_cast<int>(page)));
    return line;
}

std::string activity_line(const TXK_ACTIVITY_ROW &row) {
    std::string line = fixed(row.user_id, sizeof row.user_id);
    place(line, 21, fixed(row.function, sizeof row.function));
    place(line, 58, std::string(1, row.activity ? row.activity : ' '));
    place(line, 63, fixed(row.workstation, sizeof row.workstation));
    std::string client = fixed(row.client, sizeof row.client);
    if (fxk_activity_corruptible(row)) {
        // The marker has its own column: the client name gives up what would run into it.
        place(line, 78, without_trailing_blanks(client.substr(0, 94 - 78 - 1)));
        place(line, 94, "CORRUPTIBLE");
    } else {
        place(line, 78, client);
    }
    return line.substr(0, page_width);
}

} // namespace

std::string fxk_error_print_text(const TXK_ERROR_REPORT &r, int page_lines) {
    std::vector<std::string> body = {
        field_line("FUNCTION NAME", fixed(r.record.function, sizeof r.record.function)),
        field_line("ERROR CODE", r.code_text),
    };
    if (!r.message.empty()) body.push_back(field_line("ERROR TEXT", r.message));
    body.push_back(field_line("PROGRAM NAME", r.program_name));
    body.push_back(field_line("ENTRY POINT", r.entry_point.substr(0, 3)));
    body.push_back(field_line("VERSION", r.version));
    body.push_back(field_line("USER ID", fixed(r.record.user_id, sizeof r.record.user_id)));
    body.push_back(field_line("WORKSTATION NAME", r.computer));
    body.push_back(field_line("WORKSTATION OPERATING SYSTEM", r.os_name));
    body.push_back(field_line("CLIENT NAME", r.client));
    body.push_back(field_line("DATE", r.date));
    body.push_back(field_line("TIME", r.time));
    body.emplace_back();
    if (r.rows.empty()) {
        body.emplace_back("FUNCTION WAS RUNNING IN A SINGLE USER ENVIRONMENT");
    } else {
        body.emplace_back("CURRENT ACTIVITY");
        body.emplace_back("USER                 FUNCTION                           STATUS "
                          "WORKSTATION    CLIENT          ADDITIONAL INFORMATION");
        for (const TXK_ACTIVITY_ROW &row : r.rows) body.push_back(activity_line(row));
    }

    // Each page: its header, a blank line, then as many lines as fit.
    size_t room = page_lines > 3 ? static_cast<size_t>(page_lines) - 2 : 1;
    std::string text;
    unsigned page = 0;
    for (size_t at = 0; at < body.size(); at += room) {
        if (page++) text += "\f";
        text += page_header(page) + "\r\n\r\n";
        for (size_t i = at; i < body.size() && i < at + room; ++i)
            text += without_trailing_blanks(body[i]) + "\r\n";
    }
    return text;
}

std::string fxk_error_print(const TXK_ERROR_REPORT &r, bool *printed) {
    *printed = false;
    char directory[DXI_PATH_BUFFER] = {};
    fxi_log_dir(directory, 1);
    std::string name;
    fxd_fmt_assign(name, "kovaerr%clock%,6.prn", &r.record.clock);
    std::string path = std::string(directory) + name;
    std::string text = fxk_error_print_text(r, 66);
    TXI_FILE file;
    if (file.create(path.c_str()) != 0) return {};
    bool written = file.write(text.data(), static_cast<uint32_t>(text.size())) == 0;
    written = file.close() == 0 && written;
    if (!written) return {};

    // The host's printing takes the file from the log directory; the file stays there either
    // way, so the report can still be printed by hand.
    *printed = kova_print_file(path.c_str(), 60000) == ERROR_SUCCESS;
    return path;
}
