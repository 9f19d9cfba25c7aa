// Installing a patch end to end: verification, the server drive, the users in the system, and
// every release tree of the installation, newest first, with its undo patch.
#pragma once

#include <string>
#include <vector>

// Answers false when the patch was not installed (the tool then ends with status 1).
bool patch_install(const char *patch_path);

// Chooses the installation to patch and tests the right to change it: true when one was
// chosen, false when none was found or the operator left the page.
bool patch_select_server();

// The next older release tree after `release_dir` ("X:\KOVABrisel\" leads to "X:\kova2006\"
// and so on down to "X:\kova2000\"), or an empty text when the walk ends there or that tree
// does not exist.
std::string patch_next_tree(const std::string &release_dir);

// One release tree an installation run changes, and the patch it installs there: an undo
// patch undoes its whole run, each tree from that tree's own undo patch, removing what the
// run added.
struct PatchTreeStep {
    std::string release_dir;
    std::string patch;
    std::vector<std::string> removes; // components an undone run added
};

// The trees that installing `patch_path` into the current installation goes through, in order.
std::vector<PatchTreeStep> patch_tree_steps(const char *patch_path);

// Makes `release_dir` the current tree, with its data home and installation settings.
void patch_enter_tree(const std::string &release_dir);
