// Command-line usage and options: the program's argument vector, the option registry, the
// switch tests, the usage text and its paging, and the fatal-message path.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// ---- Argument vector ------------------------------------------------------------------------
// The program's arguments as ANSI texts, argument 0 being the program's full path: the
// platform's wide command line split by the Windows rules and converted, built once (under a
// lock) on first use. The array ends with a null entry. fxp_switch_take removes arguments.

int fxp_argc();
char **fxp_argv();

// ---- The program's usage definition ---------------------------------------------------------

// Supplied by each program, fixed at build time. Help lines are read by their first
// character: 0x01 is a marker that is dropped (the rest is read by these rules again), 0x02
// hides the line, a tab becomes the indent of six blanks; an empty text is an empty line.
// Hidden help lines are printed only for /* and know only the tab.
struct TXP_USAGE_PROGRAM {
    const char *title;         // first line of the banner: the application title
    const char *const *banner; // further banner lines (version ...), ended by a null entry
    const char *syntax;        // printed after the kernel's fragments on the syntax line
    const char *const *help;   // ended by a null entry
    const char *const *hidden; // ended by a null entry; may itself be null
};

void fxp_usage_program(const TXP_USAGE_PROGRAM *program);

// ---- Options and switches -------------------------------------------------------------------

// Appends a (syntax fragment, help line) entry to the registry, which starts with the entry
// for /h and /?; an eleventh entry is ignored.
void fxp_usage_add(const char *syntax, const char *help);

// True when an argument after the program name starts with '/' or '-' and its second
// character, upper-cased, equals `letter` (pass letters in upper case); it may be longer.
bool fxp_switch_present(char letter);
// Like fxp_switch_present with `letter` upper-cased too, and with `exact` nothing may follow
// the letter. The first such argument is copied to `out` (when given) and removed from the
// argument vector. Answers whether one was found.
bool fxp_switch_take(char letter, std::string *out, bool exact);

// ---- Usage ----------------------------------------------------------------------------------

// Start-up's usage switches: with /H, /? or /* (exact, in that order of preference) writes the
// banner and the usage (the hidden part only for /*) and ends the process with status 0;
// otherwise returns.
void fxp_usage_switches();
// Writes the program banner to the output channel and answers its number of lines.
int fxp_usage_banner();
// Prints the usage text, paged by the channel's rows; with `hidden` the hidden options too.
void fxp_usage_print(bool hidden);
// "Press Any Key to Continue ... ", one key, then the prompt line is wiped.
void fxp_press_any_key();

// ---- Fatal messages -------------------------------------------------------------------------

// The status of the fatal path.
extern uint16_t fxp_fatal_status;
// Shows the text (in console mode on the console's error stream, otherwise as an error box)
// and ends the process with fxp_fatal_status; fxp_fatal_banner writes the banner first.
[[noreturn]] void fxp_fatal(const char *text);
[[noreturn]] void fxp_fatal_banner(const char *text);

// ---- Output channel -------------------------------------------------------------------------

// Console mode: usage goes to standard output with "\n" line ends and fatal texts are
// printed. The terminal presenter has no root window of its own, so the console is its
// channel; a windowed front end clears the flag and gets "\r\n" line ends, the closing
// prompt after the usage and fatal texts in error boxes.
extern bool fxp_console_mode;

struct TXP_CHANNEL {
    void (*write)(std::string_view ansi);       // usage text and the paging prompt
    void (*write_error)(std::string_view ansi); // fatal texts and their banner
    void (*wait_key)();                         // waits for one key (or the end of input)
    int (*page_rows)();                         // rows of a page; 0 when nobody reads pages
};

// The console: standard output, standard error, keys from standard input, pages as high as
// the terminal on standard output (25 rows when its size is unknown) and no paging when
// standard output is no terminal.
extern const TXP_CHANNEL fxp_console_channel;
extern TXP_CHANNEL fxp_channel;
