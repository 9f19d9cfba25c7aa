// The installation a program works on: its program directory, data home and temporary
// directory, release level, options, licence number and company code, and the readers and
// writers of its configuration files (kova.ini and the company files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Directories ----------------------------------------------------------------------------
// Paths end in a backslash (the setters add one); an empty program directory or data home
// means the folder of the running program. The char* forms write into a buffer of
// DXI_PATH_BUFFER bytes (kernel/files/paths.h) and answer it.

char *fxi_program_dir(char *out);
std::string fxi_program_dir();
void fxi_set_program_dir(const char *path);
char *fxi_data_home(char *out);
std::string fxi_data_home();
// Does not reload anything: callers follow it with fxi_load_installation.
void fxi_set_data_home(const char *path);
// The temporary directory that fxi_temp_dir answers; an empty path returns to the platform's.
void fxi_set_temp_dir(const char *path);
// The release directory of the installation's generation: "\KOVABrisel\" from release level
// 17, below it "\kova2006\" with option 247, "\kova2004\" with option 248, else
// "\kova2000\".
const char *fxi_release_folder();
// The temporary directory of a program that opens a company: the drive of %KOVATEMP% (else
// of the Windows directory, C:), the release directory and "temp\", made with every missing
// level and set as the temporary directory. 0, or the code of the failed creation.
uint16_t fxi_set_company_temp_dir();

// ---- The installation's settings ------------------------------------------------------------
// Kept in section "system" of the installation file: "release" (decimal), "options" (the
// numbers of the set options, comma-separated), "licence", "company" and "users".

// Makes release level, options, licence number, company code and user slots those of the
// installation at the current data home (absent keys give 0 and empty texts). False when the
// installation file has no section "system".
bool fxi_load_installation();
// Writes the current settings into the installation file; false when it cannot be written.
bool fxi_save_installation();

uint8_t fxi_release();
void fxi_set_release(uint8_t level);
// Options are numbered 0-1023, option n being bit 0x80 >> (n % 8) of byte n / 8; higher
// numbers are never set and setting them does nothing.
bool fxi_option(unsigned number);
void fxi_set_option(unsigned number);
void fxi_clear_option(unsigned number);
// The licence number, 6 characters blank-padded, and the current company code (3 characters).
const char *fxi_licence();
void fxi_set_licence(const char *licence);
const char *fxi_company();
void fxi_set_company(const char *company);
uint16_t fxi_user_slots();

// ---- Configuration files --------------------------------------------------------------------

inline constexpr int DXI_INI_COMPANY = 0;
inline constexpr int DXI_INI_INSTALLATION = 1;

// The installation file (`which` 1: directory + "kova.ini") or a company's file (`which` 0:
// directory, then with option 248 "data\" + company + "\", then above release level 18
// "parameters\" when that folder exists, then "kova" + company + ".ini"). The directory is
// the data home when null, the company the current one when null (trailing blanks dropped).
char *fxi_ini_path(char *out, int which, const char *company, const char *directory);
std::string fxi_ini_path(int which, const char *company = nullptr, const char *directory = nullptr);

// A value of the installation or company file, or the default; values of any length come
// back whole. Reads and writes of profile files are serialised in the process.
std::string &fxi_ini_read(int which, const char *company, const char *section, const char *key,
                          const char *default_value, std::string &out);
// The installation file's value copied into `out` of `size` bytes (cut to fit); answers `out`.
char *fxi_ini_string(const char *section, const char *key, const char *default_value, char *out,
                     size_t size);
// The first character of the installation file's value (the default when there is none), in
// upper case; fxi_ini_yes_lower gives it in lower case.
char fxi_ini_yes(const char *section, const char *key, char default_char);
char fxi_ini_yes_lower(const char *section, const char *key, char default_char);
// Writes a value into the installation file; false when it cannot be written.
bool fxi_ini_write(const char *section, const char *key, const char *value);

// True when the installation's files are those of its configured server: the computer that
// serves the current drive (this computer for a local drive) is key "server" of section "all",
// by name (without regard to case) or by its first address. An empty key is filled with that
// name and the answer is true. Answered once per data home.
bool fxi_is_server();

// The file-store folder of the current company, ending in a backslash: from release level 18
// the configured server's share KovaFileStore$ (which must exist: otherwise the program ends
// with "Kova file store location '...' not found!") or the data home's data\KovaFileStore\,
// followed by licence number and company code; below 18 the data home's data\<company>\.
char *fxi_file_store(char *out);
std::string fxi_file_store();

// Whether an operator can see and answer the desktop: never when the environment says
// KOVA_UNATTENDED=1 (a scheduled or scripted run, which must never wait for an answer, even
// where the system reports a visible desktop with nobody at it), else as the system says.
bool fxi_desktop_visible();

// Where a fatal condition of this layer ends the process. The default writes the text to
// standard error and ends with status 1; the kernel's start-up points it at its fatal path.
extern void (*fxi_fatal_handler)(const char *text);
