// The consolidated menu builder: gathers every company's menu record files and text menu
// definitions into kovamenu.dat, kovamenu.idx and kovamenu.kve in the release directory.
#include "kernel/install/menus.h"
#include "kernel/files/file.h"
#include "kernel/files/install.h"
#include "kernel/files/lfile.h"
#include "kernel/files/paths.h"
#include "kernel/ui/box.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Copies of release-7 menus are made in pieces of this size.
constexpr uint16_t copy_chunk = 0x8000;

// A directory search that is closed however the loop over it ends.
struct Search {
    TXI_DIRSCAN scan{};
    char full_name[DXI_PATH_BUFFER] = {};
    ~Search() { fxi_dir_close(&scan); }
    uint16_t first(const std::string &pattern, uint16_t mask) {
        return fxi_dir_first(pattern.c_str(), mask, 0, full_name, &scan);
    }
    uint16_t next() { return fxi_dir_next(full_name, &scan); }
};

struct Outputs {
    TXI_FILE dat, idx;
    TXI_LFILE kve;
    uint64_t records = 0;
    bool kve_started = false;
};

// Creates an output, replacing an existing file; on failure shows the documented box.
bool create_output(TXI_FILE &file, const std::string &path, const char *failure) {
    uint16_t code = fxi_delete_file(path.c_str());
    if (code != 0 && code != DXI_ERR_FILE_NOT_FOUND) {
        fxp_msg_errorf(failure, fxk_error_text(code, &EXI_FILE));
        return false;
    }
    if (file.create(path.c_str()) != 0) {
        fxp_msg_errorf(failure, file.error_text());
        return false;
    }
    return true;
}

// A company directory: three characters; 000 always, any other only with a first menu file.
bool is_company(const std::string &directory, const char *name) {
    if (std::strlen(name) != 3) return false;
    if (std::strcmp(name, "000") == 0) return true;
    Search search;
    return search.first(directory + name + "\\MENUS\\" + name + "M1.KV?", 0) == 0;
}

// Menus that exist only in the release-7 tree are copied under the current names and
// converted. A target that exists already was migrated before and is left alone. Nothing here
// is reported: a menu that cannot be migrated is skipped.
void migrate(const char *drive, const std::string &company_dir, const char *code) {
    Search search;
    std::string pattern = std::string(drive) + "\\KOVA7\\" + code + "\\MENUS\\KV7MX*." + code;
    for (uint16_t found = search.first(pattern, 0); found == 0; found = search.next()) {
        const char *name = search.scan.entry_name;
        if (!fxk_rebuild_entry_safe(name)) continue;
        char stem[DXI_PATH_PART_MAX + 1] = {};
        if (fxi_path_split(name, nullptr, nullptr, stem, nullptr, nullptr, nullptr) != 0 ||
            std::strlen(stem) < 3)
            continue;
        std::string menus = company_dir + "\\MENUS\\";
        std::string target = menus + code + (stem + 3) + ".KVM";
        if (fxi_test_file(target.c_str())) continue;
        if (!fxi_dir_exists(menus.c_str()) && fxi_dir_make_all(menus.c_str()) != 0) continue;
        if (fxi_copy_file(search.full_name, target.c_str(), copy_chunk) != 0) continue;
        TXI_FILE file;
        uint8_t record[DXK_MENU_RECORD];
        // A copy too short to hold a record is left as it came: converting and writing back
        // whatever the buffer held would put invented bytes into the menu.
        if (file.open(target.c_str(), DXI_FILE_READ_WRITE) != 0 ||
            file.read(record, sizeof record) != 0)
            continue;
        fxk_menu_migrate_record(record);
        bool converted = file.rewind() == 0 && file.write(record, sizeof record) == 0;
        converted = file.close() == 0 && converted;
        // A target that exists counts as migrated, so a conversion that did not reach the disk
        // must not leave one: the next rebuild then tries again. Its deletion failing leaves
        // nothing better to do.
        if (!converted) (void)fxi_delete_file(target.c_str());
    }
}

// Takes an output back to `length` after a failed append. When even that fails, record n of the
// data file may no longer describe entry n of the index, so it is said in a second box.
void cut_back(TXI_FILE &file, uint64_t length, const char *failure) {
    if (file.truncate(length) != 0) fxp_msg_errorf(failure, file.error_text());
}

// Appends every menu record file of the company to kovamenu.dat and kovamenu.idx, or deletes
// them with the delete flag. A failure ends this company's record files.
void gather_records(Outputs &out, const std::string &company_dir, const char *code,
                    uint16_t delete_flag) {
    Search search;
    std::string pattern = company_dir + "\\MENUS\\" + code + "*.KVM";
    for (uint16_t found = search.first(pattern, 0); found == 0; found = search.next()) {
        if (!fxk_rebuild_entry_safe(search.scan.entry_name)) continue;
        if (delete_flag == 1) {
            // Deleting is silent, like the migration: a file that stays is gathered next time.
            (void)fxi_delete_file(search.full_name);
            continue;
        }
        TXI_FILE menu;
        uint8_t record[DXK_MENU_RECORD];
        if (menu.open(search.full_name, DXI_FILE_READ) != 0 ||
            menu.read(record, sizeof record) != 0) {
            fxp_msg_error3(menu.error_text(), search.full_name, nullptr);
            return;
        }
        char entry[DXK_MENU_INDEX_ENTRY] = {};
        const char *name = search.scan.entry_name;
        for (size_t i = 0; i < sizeof entry && name[i]; ++i)
            entry[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[i])));
        // Record n of the data file and entry n of the index describe the same menu, so a
        // record that cannot be completed in both is taken out of the data file again.
        if (out.dat.write(record, sizeof record) != 0) {
            fxp_msg_errorf("Error Writing Consolidated Menu File - %str%", out.dat.error_text());
            cut_back(out.dat, out.records * DXK_MENU_RECORD,
                     "Error Writing Consolidated Menu File - %str%");
            return;
        }
        if (out.idx.write(entry, sizeof entry) != 0) {
            fxp_msg_errorf("Error Writing Consolidated Menu Index File - %str%",
                           out.idx.error_text());
            cut_back(out.dat, out.records * DXK_MENU_RECORD,
                     "Error Writing Consolidated Menu File - %str%");
            cut_back(out.idx, out.records * DXK_MENU_INDEX_ENTRY,
                     "Error Writing Consolidated Menu Index File - %str%");
            return;
        }
        ++out.records;
        (void)menu.close(); // opened for reading
    }
}

bool write_kve(Outputs &out, const std::string &line) {
    if (out.kve.write_line(line.c_str()) == 0) return true;
    fxp_msg_errorf("Error Writing Consolidated Menu File - %str%", out.kve.error_text());
    return false;
}

// Copies the company's text menu definitions into kovamenu.kve: the first declaration line
// and "<menus>" once, then every definition without its own first line. A failure ends this
// company's text definitions.
void gather_texts(Outputs &out, const std::string &company_dir, const char *code) {
    Search search;
    std::string pattern = company_dir + "\\MENUS\\" + code + "*.KVE";
    for (uint16_t found = search.first(pattern, 0); found == 0; found = search.next()) {
        if (!fxk_rebuild_entry_safe(search.scan.entry_name)) continue;
        TXI_LFILE menu;
        if (menu.open(search.full_name, DXI_FILE_READ) != 0) {
            fxp_msg_error3(menu.error_text(), search.full_name, nullptr);
            return;
        }
        std::string line;
        uint16_t read = menu.read_line_string(line, 0);
        if (read == DXI_ERR_END_OF_FILE) continue; // an empty definition adds nothing
        if (read != 0) {
            fxp_msg_errorf("Error Reading Menu File - %str%", menu.error_text());
            return;
        }
        if (!out.kve_started) {
            if (!write_kve(out, line)) return;
            out.kve_started = true;
            if (!write_kve(out, "<menus>")) return;
        }
        while ((read = menu.read_line_string(line, 0)) == 0)
            if (!write_kve(out, line)) return;
        if (read != DXI_ERR_END_OF_FILE) {
            fxp_msg_errorf("Error Reading Menu File - %str%", menu.error_text());
            return;
        }
    }
}

// Closes an output, with the box of `failure` when the close may have lost what was written,
// and deletes it when nothing was written into it.
void finish_output(TXI_FILE &file, const char *failure) {
    uint64_t length = 0;
    bool empty = file.length(&length) == 0 && length == 0;
    if (file.close() != 0) fxp_msg_errorf(failure, file.error_text());
    // An empty output that stays lists no menus: only litter is left.
    if (empty) (void)fxi_delete_file(file.name());
}

} // namespace

bool fxk_menu_rebuild(const char *path, uint16_t delete_flag) {
    std::string directory = fxk_rebuild_directory(path, fxi_program_dir());
    char drive[DXI_PATH_PART_MAX + 1] = {};
    // A directory the split refuses is taken as one without a drive, as a path given without.
    (void)fxi_path_split(directory.c_str(), drive, nullptr, nullptr, nullptr, nullptr, nullptr);
    // A directory that cannot be made shows as the first output's create failure.
    if (!fxi_dir_exists(directory.c_str())) (void)fxi_dir_make_all(directory.c_str());

    Outputs out;
    if (!create_output(out.dat, directory + "kovamenu.dat",
                       "Error Creating Consolidated Menu File - %str%"))
        return false;
    if (!create_output(out.idx, directory + "kovamenu.idx",
                       "Error Creating Consolidated Menu Index File - %str%"))
        return false;
    if (!create_output(out.kve, directory + "kovamenu.kve",
                       "Error Creating Consolidated Menu File - %str%"))
        return false;

    Search companies;
    uint16_t found = companies.first(directory + "*.*", DXI_ATTR_DIRECTORY);
    for (; found == 0; found = companies.next()) {
        const char *code = companies.scan.entry_name;
        if (!fxk_rebuild_entry_safe(code) || !is_company(directory, code)) continue;
        std::string company_dir = directory + code;
        migrate(drive, company_dir, code);
        gather_records(out, company_dir, code, delete_flag);
        gather_texts(out, company_dir, code);
    }

    finish_output(out.dat, "Error Writing Consolidated Menu File - %str%");
    finish_output(out.idx, "Error Writing Consolidated Menu Index File - %str%");
    if (out.kve_started) {
        write_kve(out, "</menus>");
        if (out.kve.close() != 0)
            fxp_msg_errorf("Error Writing Consolidated Menu File - %str%", out.kve.error_text());
    } else {
        finish_output(out.kve, "Error Writing Consolidated Menu File - %str%");
    }
    return found == DXI_ERR_NO_MORE_FILES;
}
