// The option registry, the usage text with its paging, the usage switches and the fatal path.
#include "kernel/ui/usage.h"

#include "kernel/files/paths.h"
#include "kernel/text/format.h"
#include "kernel/ui/box.h"
#include "kernel/ui/presenter.h"
#include "platform/host.h"
#include "platform/win32.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

bool fxp_console_mode = true;
uint16_t fxp_fatal_status = 1;

namespace {

constexpr const char *indent = "      ";
constexpr size_t max_entries = 10;

struct Entry {
    std::string syntax, help;
};

std::vector<Entry> &registry() {
    static std::vector<Entry> entries = {{"[/h][/?]", "/h or /? displays this help"}};
    return entries;
}

const TXP_USAGE_PROGRAM *program = nullptr;
// Lines of the banner written last; the paging counter starts after them.
int banner_lines = 0;

void console_write(std::string_view ansi) {
    kova_console_write(KOVA_STDOUT, ansi);
}
void console_write_error(std::string_view ansi) {
    kova_console_write(KOVA_STDERR, ansi);
}

void console_wait_key() {
    CXP_TERM_KEYS keys;
    fxp_term_read_key();
}

int console_page_rows() {
    // A console borrowed from the program that started this one is read by that program as
    // well: a key pressed there is not ours to wait for.
    if (!kova_console_is_terminal(KOVA_STDOUT) || kova_console_borrowed()) return 0;
    int rows = kova_console_rows(KOVA_STDOUT);
    return rows > 0 ? rows : 25;
}

const char *line_end() {
    return fxp_console_mode ? "\n" : "\r\n";
}

// The executable's name without folder and extension.
std::string program_name() {
    char name[DXI_PATH_PART_MAX + 1] = {};
    // A path the split refuses leaves the name empty; the usage text does without it.
    if (fxp_argc() > 0)
        (void)fxi_path_split(fxp_argv()[0], nullptr, nullptr, name, nullptr, nullptr, nullptr);
    return name;
}

int write_banner(void (*write)(std::string_view)) {
    int lines = 0;
    if (!program) return 0;
    std::string text;
    if (program->title) {
        fxd_fmt_append(text, "%str%%str%", program->title, line_end());
        ++lines;
    }
    for (const char *const *line = program->banner; line && *line; ++line) {
        fxd_fmt_append(text, "%str%%str%", *line, line_end());
        ++lines;
    }
    write(text);
    return lines;
}

// Counts printed lines and offers the prompt when a page is full.
class Pager {
public:
    explicit Pager(int start) : count_(start), rows_(fxp_channel.page_rows()) {}
    void before_line() {
        if (rows_ > 0 && count_ >= rows_ - 1) {
            fxp_press_any_key();
            count_ = 1;
        }
    }
    void line(const std::string &text) {
        fxp_channel.write(text + line_end());
        ++count_;
    }

private:
    int count_;
    int rows_;
};

[[noreturn]] void fatal(const char *text, bool with_banner) {
    // A windowed program started without a console has nowhere to write: the box says it.
    if (fxp_console_mode && kova_console_has_stream(KOVA_STDERR)) {
        if (with_banner) write_banner(fxp_channel.write_error);
        std::string line;
        fxd_fmt_assign(line, "%str%%str%", text ? text : "", line_end());
        fxp_channel.write_error(line);
    } else {
        if (with_banner) write_banner(fxp_channel.write);
        fxp_msg_error(text);
    }
    std::exit(fxp_fatal_status);
}

} // namespace

const TXP_CHANNEL fxp_console_channel = {console_write, console_write_error, console_wait_key,
                                         console_page_rows};
TXP_CHANNEL fxp_channel = fxp_console_channel;

void fxp_usage_program(const TXP_USAGE_PROGRAM *definition) {
    program = definition;
}

void fxp_usage_add(const char *syntax, const char *help) {
    auto &entries = registry();
    if (entries.size() >= max_entries) return;
    entries.push_back({syntax ? syntax : "", help ? help : ""});
}

int fxp_usage_banner() {
    banner_lines = write_banner(fxp_channel.write);
    return banner_lines;
}

void fxp_usage_print(bool hidden) {
    const auto &entries = registry();
    std::string text;
    fxd_fmt_assign(text, "%str%Usage:%str%", line_end(), line_end());
    fxd_fmt_append(text, "%str%%str% ", indent, program_name().c_str());
    for (const auto &entry : entries) fxd_fmt_append(text, "%str%", entry.syntax.c_str());
    fxd_fmt_append(text, "%str%%str%", program && program->syntax ? program->syntax : "",
                   line_end());
    fxd_fmt_append(text, "Where:%str%", line_end());
    for (const auto &entry : entries)
        fxd_fmt_append(text, "%str%%str%%str%", indent, entry.help.c_str(), line_end());
    fxp_channel.write(text);

    // The banner, the blank line, "Usage:", the syntax line, "Where:" and one more line are on
    // the page before the option lines.
    Pager pager(banner_lines + 5 + static_cast<int>(entries.size()));
    for (const char *const *help = program ? program->help : nullptr; help && *help; ++help) {
        pager.before_line();
        const char *line = *help;
        while (*line == '\x01') ++line;
        if (*line == '\x02') continue;
        std::string out;
        if (*line == '\t')
            fxd_fmt_assign(out, "%str%%str%", indent, line + 1);
        else
            out = line;
        pager.line(out);
    }
    if (hidden) {
        pager.before_line();
        pager.line("");
        pager.before_line();
        pager.line("Hidden options:");
        pager.before_line();
        pager.line(std::string(indent) + "/* displays hidden options help");
        for (const char *const *line = program ? program->hidden : nullptr; line && *line; ++line) {
            pager.before_line();
            std::string out;
            if (**line == '\t')
                fxd_fmt_assign(out, "%str%%str%", indent, *line + 1);
            else
                out = *line;
            pager.line(out);
        }
    }
    if (!fxp_console_mode) fxp_press_any_key();
}

void fxp_press_any_key() {
    fxp_channel.write("Press Any Key to Continue ... ");
    fxp_channel.wait_key();
    fxp_channel.write("\r" + std::string(79, ' ') + "\r");
}

void fxp_usage_switches() {
    bool hidden = false;
    if (!fxp_switch_take('H', nullptr, true) && !fxp_switch_take('?', nullptr, true)) {
        if (!fxp_switch_take('*', nullptr, true)) return;
        hidden = true;
    }
    if (!fxp_console_mode || kova_console_has_stream(KOVA_STDOUT)) {
        fxp_usage_banner();
        fxp_usage_print(hidden);
        std::exit(0);
    }
    // A windowed program started without a console: the text is gathered and shown in a box.
    static std::string gathered;
    auto gather = [](std::string_view text) { gathered += text; };
    fxp_channel = {gather, gather, [] {}, [] { return 0; }};
    fxp_usage_banner();
    fxp_usage_print(hidden);
    fxp_msg_info(gathered.c_str());
    std::exit(0);
}

void fxp_fatal(const char *text) {
    fatal(text, false);
}

void fxp_fatal_banner(const char *text) {
    fatal(text, true);
}
