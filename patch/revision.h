// The revision rule of installation: what writing a component does to the copy installed at
// its target, decided from the two time stamps, the kind of patch and the target's extension.
#pragma once

#include "kernel/text/format.h"

#include <cstdint>
#include <string>

enum class PatchRevision {
    added,           // nothing installed there yet
    replaced,        // the installed copy is older, or its revision is not compared
    same,            // equal stamps: installed again
    refused_later,   // a patch would replace a later revision
    refused_earlier, // an undo patch would put back a later revision than the installed one
};

struct PatchRevisionQuery {
    TXD_CLOCK stamp{};            // the component's
    bool installed = false;       // a copy exists at the target
    bool installed_dated = false; // and its last-write time could be read
    TXD_CLOCK installed_stamp{};
    bool undo = false;     // the patch is an undo patch
    uint16_t version = 2;  // of the patch file; version 1 carries no stamps
    std::string extension; // of the target, without the dot
};

// Kernel libraries (dll) and stamps that are missing on either side are not compared.
PatchRevision patch_revision(const PatchRevisionQuery &query);

inline bool patch_revision_refused(PatchRevision revision) {
    return revision == PatchRevision::refused_later || revision == PatchRevision::refused_earlier;
}

// "new", "replace", "same", "refused: later revision", "refused: earlier revision".
const char *patch_revision_text(PatchRevision revision);
