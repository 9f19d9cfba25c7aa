// The record beside each undo patch: written a line at a time, read back whole lines only.
#include "patch/undo.h"

#include "kernel/files/paths.h"
#include "kernel/text/dates.h"
#include "platform/win32.h"

#include <cstdio>
#include <cstring>
#include <memory>

std::string patch_undo_record_path(const std::string &undo_patch) {
    std::string path = undo_patch;
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || path.find('\\', dot) != std::string::npos) dot = path.size();
    return path.substr(0, dot) + ".kvr";
}

bool patch_undo_record_load(const std::string &undo_patch, PatchUndoRecord &record) {
    record = PatchUndoRecord{};
    TXI_FILE file(patch_undo_record_path(undo_patch).c_str());
    uint64_t length = 0;
    if (!file.exists() || file.open(DXI_FILE_READ) || file.length(&length) || length > 16u << 20)
        return false;
    std::string text(static_cast<size_t>(length), '\0');
    if (length && file.read(text.data(), static_cast<uint32_t>(length))) return false;
    for (size_t start = 0;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) break; // a last line without its end was cut off
        std::string line = text.substr(start, end - start);
        start = end + 2;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "run") {
            record.run = value;
        } else if (key == "tree") {
            size_t bar = value.find('|');
            if (bar != std::string::npos)
                record.trees.push_back({value.substr(0, bar), value.substr(bar + 1)});
        } else if (key == "added") {
            record.added.push_back(value);
        } else if (key == "folder") {
            record.folders.push_back(value);
        }
    }
    return !record.run.empty();
}

std::string patch_undo_run_id() {
    char computer[16] = {}; // what fxi_computer_name fills; the id below then always fits
    (void)fxi_computer_name(computer); // the process and the time still tell runs apart
    TXD_CLOCK now;
    fxd_clock_now(&now);
    char id[96];
    std::snprintf(id, sizeof id, "%s-%lu-%02x%02x%02x%02x%02x%02x%02x", computer,
                  static_cast<unsigned long>(GetCurrentProcessId()), now.date.century,
                  now.date.year, now.date.month, now.date.day, now.time.hour, now.time.minute,
                  now.time.second);
    return id;
}

bool PatchUndoRecordWriter::create(const std::string &undo_patch, const std::string &run,
                                   const std::vector<PatchUndoTree> &trees) {
    file_.set_name(patch_undo_record_path(undo_patch).c_str());
    // A record without its undo patch is left from a run killed before it began.
    if (file_.exists() && file_.remove()) return false;
    if (file_.create()) return false;
    if (!line("run", run)) return false;
    for (const PatchUndoTree &tree : trees)
        if (!line("tree", tree.release_dir + "|" + tree.undo_patch)) return false;
    return true;
}

bool PatchUndoRecordWriter::line(const char *key, const std::string &value) {
    std::string text = std::string(key) + "=" + value + "\r\n";
    return file_.write(text.data(), static_cast<uint32_t>(text.size())) == 0 && file_.flush() == 0;
}
