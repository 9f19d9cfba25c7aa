// The revision rule of installation, shared by installing a patch and by planning one.
#include "patch/revision.h"

#include "kernel/text/dates.h"
#include "patch/parts.h"

PatchRevision patch_revision(const PatchRevisionQuery &query) {
    if (!query.installed) return PatchRevision::added;
    if (patch_extension_is(query.extension, "dll") || query.version == 1 || !query.installed_dated)
        return PatchRevision::replaced;
    int order = fxd_clock_compare(&query.stamp, &query.installed_stamp);
    if (order == 0) return PatchRevision::same;
    if (query.undo) return order > 0 ? PatchRevision::refused_earlier : PatchRevision::replaced;
    return order < 0 ? PatchRevision::refused_later : PatchRevision::replaced;
}

const char *patch_revision_text(PatchRevision revision) {
    switch (revision) {
    case PatchRevision::added:
        return "new";
    case PatchRevision::replaced:
        return "replace";
    case PatchRevision::same:
        return "same";
    case PatchRevision::refused_later:
        return "refused: later revision";
    case PatchRevision::refused_earlier:
        return "refused: earlier revision";
    }
    return "unknown";
}
