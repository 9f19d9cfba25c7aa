// The terminal presenter: boxes drawn on standard error, keys read from standard input.
#include "kernel/ui/presenter.h"
#include "kernel/files/install.h"
#include "platform/host.h"

#include <cctype>
#include <cstring>

namespace {

// The terminal presenter reaches an operator only through a terminal on standard input and
// standard error: a console program whose streams go elsewhere runs unattended, whatever the
// system says of its desktop.
bool terminal_desktop_visible() {
    return fxi_desktop_visible() && kova_console_is_terminal(KOVA_STDIN) &&
           kova_console_is_terminal(KOVA_STDERR);
}

void terminal_beep(UINT type) {
    MessageBeep(type);
}

// Reads the bytes of one escape sequence after ESC and names its key; 0 for sequences that
// name no key of ours (they are dropped), DXP_KEY_ESCAPE for a lone Escape.
int escape_key() {
    // A terminal sends a sequence at once; a lone Escape is followed by nothing for a while.
    int next = kova_console_read_byte(50);
    if (next != '[' && next != 'O') return DXP_KEY_ESCAPE;
    std::string params;
    for (;;) {
        int byte = kova_console_read_byte(50);
        if (byte < 0) return 0;
        if (byte >= 0x40 && byte <= 0x7E) {
            switch (byte) {
            case 'A':
                return DXP_KEY_UP;
            case 'B':
                return DXP_KEY_DOWN;
            case 'C':
                return DXP_KEY_RIGHT;
            case 'D':
                return DXP_KEY_LEFT;
            case 'H':
                return DXP_KEY_HOME;
            case 'F':
                return DXP_KEY_END;
            case '~':
                if (params == "1" || params == "7") return DXP_KEY_HOME;
                if (params == "4" || params == "8") return DXP_KEY_END;
                if (params == "3") return DXP_KEY_DELETE;
                return 0;
            default:
                return 0;
            }
        }
        params += static_cast<char>(byte);
    }
}

// Gathers the rest of a UTF-8 character and answers it in the ANSI code page.
int utf8_key(int lead) {
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    std::string utf8(1, static_cast<char>(lead));
    for (int i = 0; i < more; ++i) {
        int byte = kova_console_read_byte(50);
        if (byte < 0) break;
        utf8 += static_cast<char>(byte);
    }
    std::string ansi = kova_ansi_from_utf8(utf8);
    return ansi.empty() ? '?' : static_cast<unsigned char>(ansi[0]);
}

void drop_rest_of_line() {
    for (int byte = 0; byte >= 0 && byte != '\n';) byte = kova_console_read_byte(-1);
}

int hot_key(const TXP_TERM_BUTTON &button) {
    const char *amp = std::strchr(button.label, '&');
    unsigned char key = amp && amp[1] ? static_cast<unsigned char>(amp[1])
                                      : static_cast<unsigned char>(button.label[0]);
    return std::toupper(key);
}

} // namespace

const TXP_PRESENTER fxp_terminal_presenter = {terminal_desktop_visible, terminal_beep,
                                              fxp_term_box};
TXP_PRESENTER fxp_presenter = fxp_terminal_presenter;

void fxp_term_write(std::string_view ansi) {
    std::string out;
    out.reserve(ansi.size());
    for (size_t i = 0; i < ansi.size(); ++i) {
        if (ansi[i] == '\r' && i + 1 < ansi.size() && ansi[i + 1] == '\n') continue;
        out += ansi[i];
    }
    kova_console_write(KOVA_STDERR, out);
}

void fxp_term_line(std::string_view ansi) {
    fxp_term_write(ansi);
    kova_console_write(KOVA_STDERR, "\n");
}

int fxp_term_columns() {
    int columns = kova_console_columns(KOVA_STDERR);
    return columns > 0 ? columns : 80;
}

CXP_TERM_KEYS::CXP_TERM_KEYS() {
    kova_console_keys(true);
}
CXP_TERM_KEYS::~CXP_TERM_KEYS() {
    kova_console_keys(false);
}

int fxp_term_read_key() {
    bool terminal = kova_console_is_terminal(KOVA_STDIN);
    for (;;) {
        int byte = kova_console_read_byte(-1);
        if (byte < 0) return DXP_KEY_END_OF_INPUT;
        int key;
        if (byte == '\r' || byte == '\n')
            key = DXP_KEY_ENTER;
        else if (byte == 0x7F || byte == 0x08)
            key = DXP_KEY_BACKSPACE;
        else if (byte == 0x1B && terminal)
            key = escape_key();
        else if (byte >= 0xC0)
            key = utf8_key(byte);
        else
            key = byte;
        if (key == 0) continue;
        if (!terminal && byte != '\n') drop_rest_of_line();
        return key;
    }
}

std::string fxp_term_button_text(const TXP_TERM_BUTTON &button) {
    std::string text;
    for (const char *p = button.label; *p; ++p)
        if (*p != '&') text += *p;
    return text;
}

std::string fxp_term_button_row(const TXP_TERM_BUTTON *buttons, int count) {
    std::string row;
    for (int i = 0; i < count; ++i) {
        if (i) row += ' ';
        const char *label = buttons[i].label;
        const char *amp = std::strchr(label, '&');
        const char *hot = amp && amp[1] ? amp + 1 : label;
        for (const char *p = label; *p; ++p) {
            if (p == amp) continue;
            if (p == hot)
                row += '[', row += *p, row += ']';
            else
                row += *p;
        }
    }
    return row;
}

int fxp_term_choose(const TXP_TERM_BUTTON *buttons, int count, int default_index, int escape_id) {
    if (count <= 0) return 0;
    if (default_index < 0 || default_index >= count) default_index = 0;
    std::string prompt = fxp_term_button_row(buttons, count);
    prompt += "  (Enter: " + fxp_term_button_text(buttons[default_index]) + ") ";
    fxp_term_write(prompt);
    CXP_TERM_KEYS keys;
    for (;;) {
        int key = fxp_term_read_key();
        int chosen = -1;
        if (key == DXP_KEY_END_OF_INPUT) {
            fxp_term_line("");
            return 0;
        }
        if (key == DXP_KEY_ENTER)
            chosen = default_index;
        else if (key == DXP_KEY_ESCAPE && escape_id != 0) {
            for (int i = 0; i < count; ++i)
                if (buttons[i].id == escape_id) chosen = i;
            if (chosen < 0) {
                fxp_term_line("");
                return escape_id;
            }
        } else if (key >= '1' && key <= '9' && key - '1' < count) {
            chosen = key - '1';
        } else if (key > 0 && key < 0x100) {
            for (int i = 0; i < count && chosen < 0; ++i)
                if (hot_key(buttons[i]) == std::toupper(key)) chosen = i;
        }
        if (chosen >= 0) {
            fxp_term_line(fxp_term_button_text(buttons[chosen]));
            return buttons[chosen].id;
        }
    }
}

int fxp_term_box(HWND, const char *text, const char *title, UINT style) {
    static const TXP_TERM_BUTTON ok[] = {{"&OK", IDOK}};
    static const TXP_TERM_BUTTON ok_cancel[] = {{"&OK", IDOK}, {"&Cancel", IDCANCEL}};
    static const TXP_TERM_BUTTON abort_retry_ignore[] = {
        {"&Abort", IDABORT}, {"&Retry", IDRETRY}, {"&Ignore", IDIGNORE}};
    static const TXP_TERM_BUTTON yes_no_cancel[] = {
        {"&Yes", IDYES}, {"&No", IDNO}, {"&Cancel", IDCANCEL}};
    static const TXP_TERM_BUTTON yes_no[] = {{"&Yes", IDYES}, {"&No", IDNO}};
    static const TXP_TERM_BUTTON retry_cancel[] = {{"&Retry", IDRETRY}, {"&Cancel", IDCANCEL}};
    static const TXP_TERM_BUTTON cancel_try_continue[] = {
        {"&Cancel", IDCANCEL}, {"&Try Again", IDTRYAGAIN}, {"C&ontinue", IDCONTINUE}};
    struct ButtonSet {
        const TXP_TERM_BUTTON *buttons;
        int count;
        int escape_id;
    };
    static const ButtonSet sets[] = {
        {ok, 1, IDOK},
        {ok_cancel, 2, IDCANCEL},
        {abort_retry_ignore, 3, 0},
        {yes_no_cancel, 3, IDCANCEL},
        {yes_no, 2, 0},
        {retry_cancel, 2, IDCANCEL},
        {cancel_try_continue, 3, IDCANCEL},
        {ok, 1, IDOK}, // no such set: an OK box rather than none
    };
    const ButtonSet &set = sets[style & MB_TYPEMASK];
    int default_index = static_cast<int>((style & MB_DEFMASK) >> 8);

    // A box without a caption gets the platform's default one, as on Windows.
    if (!title) title = "Error";
    fxp_term_line("");
    if (*title) {
        std::string heading = "== ";
        heading += title;
        heading += " ==";
        fxp_term_line(heading);
    }
    if (text) fxp_term_line(text);
    return fxp_term_choose(set.buttons, set.count, default_index, set.escape_id);
}
