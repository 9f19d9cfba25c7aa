// Reading a patch: verifying it without writing, or extracting it into the current release
// tree with an undo patch of everything it replaces.
#pragma once

#include "patch/undo.h"

#include <string>
#include <vector>

enum class PatchMode { verify, extract };

// Verify: expands every component and checks every rule extraction applies to stored paths;
// with an operator shows what the patch holds and asks whether to install it; true when sound
// (and agreed to). Extract: patch_extract with `undo_path` and `first_tree`, the tree on its
// own as the run.
bool patch_process(const char *patch_path, PatchMode mode, const char *undo_path, bool first_tree);

struct PatchExtractOptions {
    // Replaced copies are saved here, and the record of added files and created folders goes
    // beside it. Null in a roll-back, which saves nothing.
    const char *undo_path = nullptr;
    bool first_tree = false; // the release's setup program runs afterwards
    // Putting a tree back from the run's own undo patch after a failure: whatever the
    // stamps, without stopping for an interruption, and without a line in the log.
    bool rolling_back = false;
    std::string run;                  // the run's identity, for the record
    std::vector<PatchUndoTree> trees; // every tree of the run, for the record
    // Installing an undo patch: its record, whose added components go and whose created
    // folders go when empty.
    const PatchUndoRecord *undoing = nullptr;
};

// Writes every component into the installation's current release tree. The tree ends either
// with all of the patch or as it was: when anything fails, or the run is interrupted, what was
// already replaced is put back from the undo patch, and false is answered after the failure
// has been reported. Each replaced copy is on the disk in the undo patch before its component
// takes its place, and a component's name never holds anything but its complete old or new
// bytes.
bool patch_extract(const char *patch_path, const PatchExtractOptions &options);

// Set when a menu (kve, kvm) or table-definition (kvx) component was installed during this run;
// never cleared.
extern bool patch_menu_rebuild;
extern bool patch_table_rebuild;

// The place a stored component path takes below a release directory, or an empty text when
// the path could leave the tree (a drive, a UNC or absolute path, a '..' component). With
// `option_248` overlays stored under the module-neutral kv8 name get their module's name back.
std::string patch_map_path(const char *stored, bool option_248);

// Why the file layer would refuse a path below a release directory (a character no file name
// may hold, a name part over 255 characters, a device name, a part ending in a dot or blank),
// or null when it would not.
const char *patch_path_problem(const std::string &path);
