// The record kept beside each undo patch (unpatch\N.kvr beside unpatch\N.kvz): the run that
// wrote it, every tree that run set out to change with that tree's own undo patch, the
// components the run added and the folders it created. Undo patches stay plain patch files;
// what the format cannot say lives here, where its other readers never look.
#pragma once

#include "kernel/files/file.h"

#include <string>
#include <vector>

struct PatchUndoTree {
    std::string release_dir; // e.g. S:\kova2006\ .
    std::string undo_patch;  // that tree's own undo patch
};

struct PatchUndoRecord {
    std::string run;                  // the identity of the run that wrote it
    std::vector<PatchUndoTree> trees; // newest release first
    std::vector<std::string> added;   // components that did not exist before the run
    std::vector<std::string> folders; // folders the run created, outermost first
};

// unpatch\N.kvr for unpatch\N.kvz.
std::string patch_undo_record_path(const std::string &undo_patch);

// Reads the record beside `undo_patch`; false when there is none. A line cut off by a kill
// is not taken.
bool patch_undo_record_load(const std::string &undo_patch, PatchUndoRecord &record);

// A new identity for a run: computer, process and time.
std::string patch_undo_run_id();

// Writes a record line by line; each line is on the disk before the call answers, so a line
// is always there before the change it describes.
class PatchUndoRecordWriter {
public:
    [[nodiscard]] bool create(const std::string &undo_patch, const std::string &run,
                              const std::vector<PatchUndoTree> &trees);
    [[nodiscard]] bool note_added(const std::string &target) { return line("added", target); }
    [[nodiscard]] bool note_folder(const std::string &folder) { return line("folder", folder); }
    const TXI_FILE &file() const { return file_; }
    void close() { (void)file_.close(); } // every line is on the disk already

private:
    bool line(const char *key, const std::string &value);
    TXI_FILE file_;
};
