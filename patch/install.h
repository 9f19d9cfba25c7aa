// Installing a patch end to end: verification, the server drive, the users in the system, and
// every release tree of the installation, newest first, with its undo patch.
#pragma once

#include <string>

// Answers false when the patch was not installed (the tool then ends with status 1).
bool patch_install(const char *patch_path);

// Chooses the installation to patch and tests the right to change it: true when one was
// chosen, false when none was found or the operator left the page.
bool patch_select_server();

// The next older release tree after `release_dir` ("X:\KOVABrisel\" leads to "X:\kova2006\"
// and so on down to "X:\kova2000\"), or an empty text when the walk ends there or that tree
// does not exist.
std::string patch_next_tree(const std::string &release_dir);
