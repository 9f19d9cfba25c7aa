// The installation settings and the configuration files of the installation and its companies.
#include "kernel/files/install.h"

#include "kernel/files/file.h"
#include "kernel/files/paths.h"
#include "kernel/text/format.h"
#include "platform/host.h"
#include "platform/win32.h"
#include "platform/winsock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

namespace {

struct Settings {
    std::string program_dir; // empty: the running program's folder
    std::string data_home;
    uint8_t release = 0;
    uint8_t options[128] = {};
    char licence[7] = "      ";
    char company[4] = "";
    uint16_t users = 0;
};

Settings &settings() {
    static Settings s;
    return s;
}

// One lock over every profile-file read and write of the process.
std::mutex &ini_lock() {
    static std::mutex m;
    return m;
}

std::string with_backslash(const char *path) {
    std::string p = path ? path : "";
    if (!p.empty() && p.back() != '\\') p += '\\';
    return p;
}

std::string program_folder() {
    char module[DXI_PATH_BUFFER] = {}, folder[DXI_PATH_BUFFER] = {};
    fxi_module_path(module);
    return fxi_path_folder(module, folder);
}

char *copy_out(char *out, const std::string &text) {
    size_t n = std::min(text.size(), DXI_PATH_BUFFER - 1);
    memcpy(out, text.data(), n);
    out[n] = '\0';
    return out;
}

std::string company_code(const char *company) {
    std::string code = company ? company : settings().company;
    if (code.size() > 3) code.resize(3);
    while (!code.empty() && code.back() == ' ') code.pop_back();
    return code;
}

[[noreturn]] void default_fatal(const char *text) {
    kova_console_write(KOVA_STDERR, std::string(text) + "\n");
    std::exit(1);
}

// A decimal number at the start of `text` (blanks first); -1 without one.
long leading_number(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9') return -1;
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), 100000L);
    return value;
}

// Whether two computer names are one host: equal, or the same first address.
bool same_host(const std::string &a, const std::string &b) {
    auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                           [&](char x, char y) { return fold(x) == fold(y); }))
        return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    auto first_address = [](const std::string &name, uint32_t &address) {
        hostent *host = gethostbyname(name.c_str());
        if (!host || !host->h_addr_list || !host->h_addr_list[0]) return false;
        memcpy(&address, host->h_addr_list[0], sizeof address);
        return true;
    };
    uint32_t first = 0, second = 0;
    bool same = first_address(a, first) && first_address(b, second) && first == second;
    WSACleanup();
    return same;
}

} // namespace

void (*fxi_fatal_handler)(const char *text) = default_fatal;

// ---- Directories ----------------------------------------------------------------------------

std::string fxi_program_dir() {
    const std::string &dir = settings().program_dir;
    return dir.empty() ? program_folder() : dir;
}

char *fxi_program_dir(char *out) {
    return copy_out(out, fxi_program_dir());
}

void fxi_set_program_dir(const char *path) {
    settings().program_dir = with_backslash(path);
}

std::string fxi_data_home() {
    const std::string &dir = settings().data_home;
    return dir.empty() ? program_folder() : dir;
}

char *fxi_data_home(char *out) {
    return copy_out(out, fxi_data_home());
}

void fxi_set_data_home(const char *path) {
    settings().data_home = with_backslash(path);
}

void fxi_set_temp_dir(const char *path) {
    fxi_temp_dir_setting() = with_backslash(path);
}

const char *fxi_release_folder() {
    if (fxi_release() >= 17) return "\\KOVABrisel\\";
    if (fxi_option(247)) return "\\kova2006\\";
    if (fxi_option(248)) return "\\kova2004\\";
    return "\\kova2000\\";
}

uint16_t fxi_set_company_temp_dir() {
    char value[MAX_PATH + 1] = {};
    DWORD n = GetEnvironmentVariableA("KOVATEMP", value, sizeof value);
    // This platform's Windows directory is C:\Windows.
    std::string drive =
        n >= 2 && n < sizeof value && value[1] == ':' ? std::string(value, 2) : "C:";
    std::string dir = drive + fxi_release_folder() + "temp\\";
    uint16_t code = fxi_dir_make_all(dir.c_str());
    if (code && code != DXI_ERR_DIR_EXISTS) return code;
    fxi_set_temp_dir(dir.c_str());
    return 0;
}

// ---- Settings -------------------------------------------------------------------------------

bool fxi_load_installation() {
    Settings &s = settings();
    std::string value;
    bool found;
    {
        std::lock_guard lock(ini_lock());
        char sections[64] = {};
        std::string file = fxi_ini_path(DXI_INI_INSTALLATION);
        // The section's key list is empty exactly when the section is missing or bare.
        found = GetPrivateProfileStringA("system", nullptr, "", sections, sizeof sections,
                                         file.c_str()) != 0;
    }
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "system", "release", "0", value);
    long release = leading_number(value);
    s.release = static_cast<uint8_t>(release >= 0 && release <= 255 ? release : 0);

    memset(s.options, 0, sizeof s.options);
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "system", "options", "", value);
    for (size_t start = 0; start < value.size();) {
        size_t comma = value.find(',', start);
        long number = leading_number(std::string_view(value).substr(start, comma - start));
        if (number >= 0) fxi_set_option(static_cast<unsigned>(number));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }

    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "system", "licence", "", value);
    fxi_set_licence(value.c_str());
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "system", "company", "", value);
    fxi_set_company(value.c_str());
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "system", "users", "0", value);
    long users = leading_number(value);
    s.users = static_cast<uint16_t>(users >= 0 && users <= 0xFFFF ? users : 0);
    return found;
}

bool fxi_save_installation() {
    const Settings &s = settings();
    std::string options;
    for (unsigned n = 0; n < 1024; ++n)
        if (fxi_option(n)) options += (options.empty() ? "" : ",") + std::to_string(n);
    std::string licence = s.licence;
    while (!licence.empty() && licence.back() == ' ') licence.pop_back();
    return fxi_ini_write("system", "release", std::to_string(s.release).c_str()) &&
           fxi_ini_write("system", "options", options.c_str()) &&
           fxi_ini_write("system", "licence", licence.c_str()) &&
           fxi_ini_write("system", "company", s.company) &&
           fxi_ini_write("system", "users", std::to_string(s.users).c_str());
}

uint8_t fxi_release() {
    return settings().release;
}
void fxi_set_release(uint8_t level) {
    settings().release = level;
}

bool fxi_option(unsigned number) {
    return number < 1024 && (settings().options[number / 8] & (0x80 >> (number % 8)));
}

void fxi_set_option(unsigned number) {
    if (number < 1024) settings().options[number / 8] |= static_cast<uint8_t>(0x80 >> (number % 8));
}

void fxi_clear_option(unsigned number) {
    if (number < 1024)
        settings().options[number / 8] &= static_cast<uint8_t>(~(0x80 >> (number % 8)));
}

const char *fxi_licence() {
    return settings().licence;
}

void fxi_set_licence(const char *licence) {
    char *out = settings().licence;
    size_t n = licence ? std::min<size_t>(strlen(licence), 6) : 0;
    memset(out, ' ', 6);
    if (n) memcpy(out, licence, n);
    out[6] = '\0';
}

const char *fxi_company() {
    return settings().company;
}

void fxi_set_company(const char *company) {
    char *out = settings().company;
    size_t n = company ? std::min<size_t>(strlen(company), 3) : 0;
    if (n) memcpy(out, company, n);
    out[n] = '\0';
}

uint16_t fxi_user_slots() {
    return settings().users;
}

// ---- Configuration files --------------------------------------------------------------------

std::string fxi_ini_path(int which, const char *company, const char *directory) {
    std::string path = directory ? with_backslash(directory) : fxi_data_home();
    if (which == DXI_INI_INSTALLATION) return path + "kova.ini";
    std::string code = company_code(company);
    if (fxi_option(248)) path += "data\\" + code + "\\";
    if (fxi_release() > 18 && fxi_dir_exists((path + "parameters").c_str())) path += "parameters\\";
    return path + "kova" + code + ".ini";
}

char *fxi_ini_path(char *out, int which, const char *company, const char *directory) {
    return copy_out(out, fxi_ini_path(which, company, directory));
}

std::string &fxi_ini_read(int which, const char *company, const char *section, const char *key,
                          const char *default_value, std::string &out) {
    std::string file = fxi_ini_path(which, company, nullptr);
    std::lock_guard lock(ini_lock());
    // A value that fills the buffer may be longer: read again with 1,024 bytes more.
    for (DWORD size = 1025;; size += 1024) {
        out.assign(size, '\0');
        DWORD n =
            GetPrivateProfileStringA(section, key, default_value, out.data(), size, file.c_str());
        if (n < size - 1) {
            out.resize(n);
            return out;
        }
    }
}

char *fxi_ini_string(const char *section, const char *key, const char *default_value, char *out,
                     size_t size) {
    if (!out || size == 0) return out;
    std::string value;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, section, key, default_value, value);
    size_t n = std::min(value.size(), size - 1);
    memcpy(out, value.data(), n);
    out[n] = '\0';
    return out;
}

namespace {

char first_char(const char *section, const char *key, char default_char) {
    std::string value;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, section, key, "", value);
    return value.empty() ? default_char : value[0];
}

} // namespace

char fxi_ini_yes(const char *section, const char *key, char default_char) {
    char c = first_char(section, key, default_char);
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

char fxi_ini_yes_lower(const char *section, const char *key, char default_char) {
    char c = first_char(section, key, default_char);
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

bool fxi_ini_write(const char *section, const char *key, const char *value) {
    std::string file = fxi_ini_path(DXI_INI_INSTALLATION);
    std::lock_guard lock(ini_lock());
    return WritePrivateProfileStringA(section, key, value, file.c_str()) != FALSE;
}

bool fxi_is_server() {
    static std::mutex once;
    static std::string answered_for;
    static bool answer = false;
    std::lock_guard lock(once);
    std::string home = fxi_data_home();
    if (home == answered_for) return answer;

    char name[DXI_PATH_BUFFER] = {};
    fxi_current_server(name);
    if (!name[0]) (void)fxi_computer_name(name); // an unnamed computer goes by its empty name
    std::string configured;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "server", "", configured);
    if (configured.empty()) {
        fxi_ini_write("all", "server", name);
        answer = true;
    } else {
        answer = same_host(name, configured);
    }
    answered_for = home;
    return answer;
}

std::string fxi_file_store() {
    std::string company = company_code(nullptr);
    if (fxi_release() < 18) return fxi_data_home() + "data\\" + company + "\\";
    std::string server, root;
    fxi_ini_read(DXI_INI_INSTALLATION, nullptr, "all", "KovaFileStore$", "", server);
    if (!server.empty() && fxi_is_server()) {
        root = "\\\\" + server + "\\KovaFileStore$\\";
        if (!fxi_dir_exists(root.c_str())) {
            std::string text;
            fxd_fmt_assign(text, "Kova file store location '%str%' not found!", root.c_str());
            fxi_fatal_handler(text.c_str());
            std::exit(1);
        }
    } else {
        root = fxi_data_home() + "data\\KovaFileStore\\";
    }
    return fxd_fmt_append(std::move(root), "%txt%\\%txt%\\", fxi_licence(), 6, fxi_company(),
                          static_cast<int>(strlen(fxi_company())));
}

char *fxi_file_store(char *out) {
    return copy_out(out, fxi_file_store());
}

bool fxi_desktop_visible() {
    char value[8] = {};
    DWORD n = GetEnvironmentVariableA("KOVA_UNATTENDED", value, sizeof value);
    if (n > 0 && n < sizeof value && std::strcmp(value, "1") == 0) return false;
    return IsWindowVisible(GetDesktopWindow()) != FALSE;
}
