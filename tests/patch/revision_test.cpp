// The revision rule that installing and planning share: by stamps, undo flag, extension and
// file version.
#include "patch/revision.h"

#include <gtest/gtest.h>

namespace {

TXD_CLOCK clock_of(uint8_t year, uint8_t month) {
    TXD_CLOCK clock{};
    clock.date = {0x01, month, 0x20, year};
    clock.time = {0x12, 0x00, 0x00};
    return clock;
}

TEST(PatchRevision, DecidesByStampsUnlessTheyAreNotCompared) {
    const TXD_CLOCK older = clock_of(0x25, 0x01), newer = clock_of(0x26, 0x06);
    struct Case {
        const char *name;
        TXD_CLOCK stamp;
        bool installed, dated;
        TXD_CLOCK installed_stamp;
        bool undo;
        uint16_t version;
        const char *extension;
        PatchRevision expected;
    };
    const Case cases[] = {
        {"nothing installed", older, false, false, {}, false, 2, "dat", PatchRevision::added},
        {"older installed", newer, true, true, older, false, 2, "dat", PatchRevision::replaced},
        {"equal stamps", newer, true, true, newer, false, 2, "dat", PatchRevision::same},
        {"later installed", older, true, true, newer, false, 2, "dat",
         PatchRevision::refused_later},
        {"a library is not compared", older, true, true, newer, false, 2, "DLL",
         PatchRevision::replaced},
        {"version 1 has no stamps", older, true, true, newer, false, 1, "dat",
         PatchRevision::replaced},
        {"version 0 is compared", older, true, true, newer, false, 0, "dat",
         PatchRevision::refused_later},
        {"an unreadable time", older, true, false, {}, false, 2, "dat", PatchRevision::replaced},
        {"undo puts back an older copy", older, true, true, newer, true, 2, "dat",
         PatchRevision::replaced},
        {"undo of a newer copy", newer, true, true, older, true, 2, "dat",
         PatchRevision::refused_earlier},
        {"undo, equal", newer, true, true, newer, true, 2, "dat", PatchRevision::same},
    };
    for (const Case &c : cases) {
        PatchRevisionQuery query;
        query.stamp = c.stamp;
        query.installed = c.installed;
        query.installed_dated = c.dated;
        query.installed_stamp = c.installed_stamp;
        query.undo = c.undo;
        query.version = c.version;
        query.extension = c.extension;
        EXPECT_EQ(patch_revision(query), c.expected) << c.name;
    }
    EXPECT_STREQ(patch_revision_text(PatchRevision::refused_earlier), "refused: earlier revision");
    EXPECT_TRUE(patch_revision_refused(PatchRevision::refused_later));
    EXPECT_FALSE(patch_revision_refused(PatchRevision::same));
}

} // namespace
