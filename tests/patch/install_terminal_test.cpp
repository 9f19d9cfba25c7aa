// An operator installing a patch at a terminal: the description and question, the server-drive
// page, and the closing message naming the undo patch.
#include "patch/build.h"

#include "tests/patch/patch_files.h"

#include <filesystem>

using namespace patch_test;
using kova_test::read_file;
using kova_test::write_file;

namespace {

TEST(PatchInstallTerminal, AnOperatorInstallsAndIsToldHowToUndo) {
    kova_test::TempPrefix prefix;
    std::string server = prefix.map_drive('s'), dev = prefix.map_drive('d');
    write_file(server + "/KOVABrisel/kova.kvk", "");
    write_file(server + "/KOVABrisel/kova.ini", "[system]\r\nrelease=21\r\n");
    write_file(server + "/KOVABrisel/abc/a.dat", "old");
    set_mtime(server + "/KOVABrisel/abc/a.dat", 2025, 1, 1, 12, 0, 0);
    write_file(dev + "/kova2000/abc/a.dat", "new");
    set_mtime(dev + "/kova2000/abc/a.dat", 2026, 6, 1, 12, 0, 0);
    std::filesystem::create_directories(server + "/p");
    ASSERT_TRUE(
        patch_add_file("S:\\p\\fix.kvz", "D:\\kova2000\\abc\\a.dat", {.direct_path = true}));

    kova_test::Pty pty({kova_test::program("kvpatch"), "S:\\p\\fix.kvz"}, {}, server);
    ASSERT_TRUE(pty.expect("It will then install the following files onto your system:"))
        << pty.output();
    ASSERT_TRUE(pty.expect("abc\\a.dat")) << pty.output();
    ASSERT_TRUE(pty.expect("Do you wish to install this patch?")) << pty.output();
    pty.send("y");
    ASSERT_TRUE(pty.expect("Select Server Drive")) << pty.output();
    ASSERT_TRUE(pty.expect("S:")) << pty.output();
    pty.send("n"); // Next >> with the only installation chosen
    ASSERT_TRUE(pty.expect("Patch Installed Successfully")) << pty.output();
    ASSERT_TRUE(pty.expect("The patch may be uninstalled by running")) << pty.output();
    ASSERT_TRUE(pty.expect("unpatch\\0.kvz")) << pty.output();
    pty.send("\r");
    EXPECT_EQ(pty.wait(), 0) << pty.output();
    EXPECT_EQ(read_file(server + "/KOVABrisel/abc/a.dat"), "new");
    EXPECT_EQ(read_patch(server + "/KOVABrisel/unpatch/0.kvz").entries.size(), 1u);
}

} // namespace
