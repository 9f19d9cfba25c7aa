// Reading a patch: verifying it without writing, or extracting it into the current release
// tree with an undo patch of everything it replaces.
#pragma once

#include <string>

enum class PatchMode { verify, extract };

// Verify: expands every component, and with an operator shows what the patch holds and asks
// whether to install it; true when sound (and agreed to). Extract: writes every component into
// the installation's current release tree, saving replaced copies into `undo_path`; with
// `first_tree` the release's setup program runs afterwards. True when every component landed.
bool patch_process(const char *patch_path, PatchMode mode, const char *undo_path, bool first_tree);

// Set when a menu (kve, kvm) or table-definition (kvx) component was installed during this run;
// never cleared.
extern bool patch_menu_rebuild;
extern bool patch_table_rebuild;

// The place a stored component path takes below a release directory, or an empty text when
// the path could leave the tree (a drive, a UNC or absolute path, a '..' component). With
// `option_248` overlays stored under the module-neutral kv8 name get their module's name back.
std::string patch_map_path(const char *stored, bool option_248);
