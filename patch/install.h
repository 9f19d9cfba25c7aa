// Installing a patch end to end: verification, the server drive, the users in the system, and
// every release tree of the installation, newest first, with its undo patch.
#pragma once

// Answers false when the patch was not installed (the tool then ends with status 1).
bool patch_install(const char *patch_path);

// Chooses the installation to patch and tests the right to change it: true when one was
// chosen, false when none was found or the operator left the page.
bool patch_select_server();
