// The table-definition rebuild: every company's source definitions gathered into one
// consolidated document in the data home, and the export reset of companies whose real-time
// export must start again from the old document's time.
#include "kernel/install/tabledef.h"
#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "kernel/install/menus.h"
#include "kernel/text/dates.h"
#include "kernel/text/format.h"
#include "platform/win32.h"

#include <cctype>
#include <cstring>
#include <memory>

namespace {

// Definition documents are a few kilobytes; anything near this size is not one.
constexpr uint64_t largest_document = 64u << 20;

struct Search {
    TXI_DIRSCAN scan{};
    char full_name[DXI_PATH_BUFFER] = {};
    ~Search() { fxi_dir_close(&scan); }
    uint16_t first(const std::string &pattern, uint16_t mask) {
        return fxi_dir_first(pattern.c_str(), mask, 0, full_name, &scan);
    }
    uint16_t next() { return fxi_dir_next(full_name, &scan); }
};

bool equal_nocase(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
    return true;
}

// Archived stock transactions are no longer a table of their own; their definitions go.
bool is_withdrawn(const TXK_TABLEDEF &def) {
    for (const std::string &name : def.fm_names) {
        size_t end = name.find_last_not_of(' ');
        if (end != std::string::npos && equal_nocase(name.substr(0, end + 1), "stktrarc"))
            return true;
    }
    return false;
}

// The company's identifier in its parameter file: the record's first three characters.
bool company_identifier(const std::string &parameter_file, std::string &identifier) {
    TXI_FILE file;
    char record[3];
    if (file.open(parameter_file.c_str(), DXI_FILE_READ) != 0 ||
        file.read(record, sizeof record) != 0)
        return false;
    for (char c : record)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    identifier.assign(record, sizeof record);
    return true;
}

// Companies exporting in real time restart their export from the time of the consolidated
// document that is being replaced. Nothing here is reported.
void export_reset(const std::string &base, const TXD_CLOCK &since) {
    std::string data = base + "data\\";
    std::string since_text;
    fxd_fmt_assign(since_text, "%clock%,2", &since);
    Search search;
    for (uint16_t found = search.first(data + "*.*", DXI_ATTR_DIRECTORY); found == 0;
         found = search.next()) {
        const char *name = search.scan.entry_name;
        if (name[0] == '.' || !fxk_rebuild_entry_safe(name)) continue;
        std::string directory = data + name + "\\";
        if (fxi_release() > 18 && fxi_dir_exists((directory + "parameters").c_str()))
            directory += "parameters\\";
        std::string identifier;
        if (!company_identifier(directory + name + ".kvc", identifier)) continue;
        std::string ini = directory + "kova" + identifier + ".ini";
        if (!fxi_test_file(ini.c_str())) continue;
        char realtime[8] = {};
        GetPrivateProfileStringA("odbc", "realtime", "", realtime, sizeof realtime, ini.c_str());
        if (realtime[0] != 'y' && realtime[0] != 'Y') continue;
        WritePrivateProfileStringA("odbc", "exportsince", since_text.c_str(), ini.c_str());
        WritePrivateProfileStringA("odbc", "realtime", "s", ini.c_str());
    }
}

bool save_document(const std::string &target, const std::string &text, const TXD_CLOCK *stamp,
                   std::string &errors) {
    TXI_FILE file;
    uint16_t code = fxi_delete_file(target.c_str());
    if (code == DXI_ERR_FILE_NOT_FOUND) code = 0;
    if (code == 0 && file.create(target.c_str()) == 0 &&
        file.write(text.data(), static_cast<uint32_t>(text.size())) == 0 &&
        (stamp == nullptr || file.set_time(stamp) == 0) && file.close() == 0)
        return true;
    const char *reason = code != 0 ? fxk_error_text(code, &EXI_FILE) : file.error_text();
    fxd_fmt_append(errors, "error %str% saving %str% \r\n", reason, target.c_str());
    return false;
}

void rebuild_company(const std::string &base, const char *code, std::string &errors) {
    std::string target = base + code + ".kvx";
    std::string pattern = base + code + "\\sql\\*.kvx";
    std::vector<std::unique_ptr<TXK_TABLEDEF>> kept;
    std::vector<TXK_TABLEDEF_SOURCE> sources;
    TXD_CLOCK newest{};
    bool have_newest = false;

    Search search;
    uint16_t found = search.first(pattern, 0);
    for (; found == 0; found = search.next()) {
        const char *name = search.scan.entry_name;
        char initial = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        if ((initial != 'S' && initial != 'T') || !fxk_rebuild_entry_safe(name)) continue;
        auto def = std::make_unique<TXK_TABLEDEF>();
        std::string message;
        if (!fxk_tabledef_load(search.full_name, *def, message)) {
            fxd_fmt_append(errors, "error %str% parsing %str% \r\n", message.c_str(),
                           search.full_name);
            continue;
        }
        if (is_withdrawn(*def)) {
            // Not taken either way; a file that stays is met again by the next rebuild.
            (void)fxi_delete_file(search.full_name);
            continue;
        }
        if (!have_newest || fxd_clock_compare(&search.scan.entry_time, &newest) > 0)
            newest = search.scan.entry_time;
        have_newest = true;
        sources.push_back({def.get(), name});
        kept.push_back(std::move(def));
    }
    if (found != DXI_ERR_NO_MORE_FILES)
        fxd_fmt_append(errors, "error %str% searching for %str% \r\n",
                       fxk_error_text(found, &EXI_DIR), pattern.c_str());

    TXD_CLOCK old_time{};
    TXI_FILE old_target;
    if (have_newest && fxi_test_file(target.c_str()) &&
        old_target.get_time(&old_time, target.c_str()) == 0 &&
        fxd_clock_compare(&old_time, &newest) < 0)
        export_reset(base, old_time);

    save_document(target, fxk_tabledef_document(sources), have_newest ? &newest : nullptr, errors);
}

} // namespace

bool fxk_tabledef_load(const char *path, TXK_TABLEDEF &def, std::string &message) {
    TXI_FILE file;
    uint64_t length = 0;
    std::string text;
    if (file.open(path, DXI_FILE_READ) == 0 && file.length(&length) == 0 &&
        length <= largest_document) {
        text.resize(static_cast<size_t>(length));
        if (length == 0 || file.read(text.data(), static_cast<uint32_t>(length)) == 0)
            return fxk_tabledef_parse(text.data(), text.size(), path, def, message);
    }
    def = TXK_TABLEDEF{};
    fxd_fmt_assign(message, "Error loading file %str%", path);
    return false;
}

bool fxk_tabledef_rebuild(const char *path, std::string &errors) {
    size_t before = errors.size();
    std::string base = fxk_rebuild_directory(path, fxi_data_home());
    // A directory that cannot be made shows as the search's failure below.
    if (!fxi_dir_exists(base.c_str())) (void)fxi_dir_make_all(base.c_str());

    Search search;
    std::string pattern = base + "???";
    uint16_t found = search.first(pattern, DXI_ATTR_DIRECTORY);
    for (; found == 0; found = search.next()) {
        const char *code = search.scan.entry_name;
        if (code[0] == '.' || !fxk_rebuild_entry_safe(code)) continue;
        if (!fxi_dir_exists((base + code + "\\sql").c_str())) continue;
        rebuild_company(base, code, errors);
    }
    if (found != DXI_ERR_NO_MORE_FILES)
        fxd_fmt_append(errors, "error %str% searching for %str% \r\n",
                       fxk_error_text(found, &EXI_DIR), pattern.c_str());
    return errors.size() == before;
}
