// Building patches: the patches directory, the source-tree forms of overlays and menus, the
// kernel libraries, release-neutral install paths, blocks and the reported failures.
#include "patch/build.h"

#include "tests/patch/patch_files.h"

#include <cstring>
#include <random>

using namespace patch_test;
using kova_test::write_file;

namespace {

class PatchBuild : public Installation {
protected:
    Patch patch(const char *name = "fix1") {
        return read_patch(host(std::string("source/patches/") + name + ".kvz"));
    }
    bool add(const char *file, const char *name = "fix1") {
        return patch_add_file(nullptr, name, file, false, false, false, false);
    }
    void make_libraries() {
        for (const char *lib : {"kovafm.dll", "kovares.dll", "kovafm64.dll", "kovars64.dll"})
            write_file(host(std::string("kova2000/") + lib), lib);
    }
};

TEST_F(PatchBuild, PlainFilesKeepReleaseNeutralPaths) {
    write_file(host("kova2006/abc/data.dat"), "data");
    write_file(host("kova7/x.dat"), "seven");
    write_file(host("KOVABrisel/abc/b.dat"), "brisel");
    write_file(host("anything/kova.kvk"), "kvk");
    set_mtime(host("kova2006/abc/data.dat"), 2026, 3, 4, 10, 20, 30);
    ASSERT_TRUE(add("S:\\kova2006\\abc\\data.dat"));
    ASSERT_TRUE(add("S:\\kova7\\x.dat"));
    ASSERT_TRUE(add("s:\\kovabrisel\\abc\\b.dat"));
    ASSERT_TRUE(add("S:\\anything\\kova.kvk"));
    ASSERT_TRUE(add("S:\\kova2006\\abc\\data.dat")); // the same file twice: two entries

    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.header.version, 2);
    EXPECT_EQ(p.header.flags, 0);
    EXPECT_EQ(paths_of(p), (std::vector<std::string>{"\\kova2000\\abc\\data.dat", "\\kova7\\x.dat",
                                                     "\\kova2000\\abc\\b.dat", "kova.kvk",
                                                     "\\kova2000\\abc\\data.dat"}));
    EXPECT_EQ(p.entries[0].data, "data");
    EXPECT_EQ(p.entries[0].length, 4u);
    TXD_CLOCK expected{{0x04, 0x03, 0x20, 0x26}, {0x10, 0x20, 0x30}};
    EXPECT_EQ(std::memcmp(&p.entries[0].stamp, &expected, sizeof expected), 0);
}

TEST_F(PatchBuild, PatchNameLosesDirectoryAndExtension) {
    write_file(host("a.dat"), "a");
    ASSERT_TRUE(add("S:\\a.dat", "fixes\\may.txt"));
    EXPECT_TRUE(patch("may").sound);
}

TEST_F(PatchBuild, BlocksOfThirtyTwoKilobytes) {
    std::string random(32769, '\0');
    std::mt19937 rng(1);
    for (char &c : random) c = static_cast<char>(rng());
    write_file(host("r1.bin"), random.substr(0, 32768));
    write_file(host("r2.bin"), random);
    write_file(host("empty.bin"), "");
    ASSERT_TRUE(add("S:\\r1.bin"));
    ASSERT_TRUE(add("S:\\r2.bin"));
    ASSERT_TRUE(add("S:\\empty.bin"));
    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.entries[0].stored, (std::vector<uint16_t>{32768})); // incompressible: stored
    EXPECT_EQ(p.entries[1].stored.size(), 2u);
    EXPECT_EQ(p.entries[1].data, random);
    EXPECT_TRUE(p.entries[2].stored.empty());
    EXPECT_EQ(p.entries[2].length, 0u);
}

TEST_F(PatchBuild, OverlayBringsKernelLibrariesAndVariants) {
    make_libraries();
    std::string tree = "source/kova.abc/8/abco0042.kvo/";
    write_file(host(tree + "abc60042.exe"), "six");
    write_file(host(tree + "abc30042.exe"), "three");
    write_file(host(tree + "abcw0042.exe"), "w");
    ASSERT_TRUE(add("S:abco0042.kvo"));
    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(paths_of(p),
              (std::vector<std::string>{"\\kova2000\\kovafm.dll", "\\kova2000\\kovares.dll",
                                        "\\kova2000\\kovafm64.dll", "\\kova2000\\kovars64.dll",
                                        "\\kova2000\\abc\\overlays\\kv860042.exe",
                                        "\\kova2000\\abc\\overlays\\kv830042.exe"}));
    EXPECT_EQ(p.entries[5].data, "three");

    // An existing patch gets no libraries; without '3' the variant is 'w'.
    std::filesystem::remove(host(tree + "abc30042.exe"));
    std::filesystem::remove(host(tree + "abc60042.exe"));
    ASSERT_TRUE(add("S:abco0042.kvo"));
    p = patch();
    ASSERT_EQ(p.entries.size(), 7u);
    EXPECT_EQ(p.entries[6].path, "\\kova2000\\abc\\overlays\\kv8w0042.exe");
}

TEST_F(PatchBuild, KernelLibraryOnlyOncePerPatch) {
    make_libraries();
    ASSERT_TRUE(add("\\kova2000\\kovafm.dll")); // new patch: added
    ASSERT_TRUE(add("\\kova2000\\kovafm.dll")); // existing patch: nothing, still true
    EXPECT_EQ(patch().entries.size(), 1u);
}

TEST_F(PatchBuild, MissingLibraryStopsTheOverlay) {
    make_libraries();
    std::filesystem::remove(host("kova2000/kovafm64.dll"));
    write_file(host("source/kova.abc/8/abco0042.kvo/abcw0042.exe"), "w");
    EXPECT_FALSE(add("S:abco0042.kvo"));
    Patch p = patch();
    EXPECT_EQ(paths_of(p),
              (std::vector<std::string>{"\\kova2000\\kovafm.dll", "\\kova2000\\kovares.dll"}));
    EXPECT_NE(setup_log().find("Error opening file \\kova2000\\kovafm64.dll - "), std::string::npos)
        << setup_log();
}

TEST_F(PatchBuild, MenuAddsItsExecutableFirst) {
    write_file(host("source/kova.abc/8/abcm0012.kvm/abcm0012.kve"), "kve");
    write_file(host("source/kova.abc/8/abcm0012.kvm/abcm0012.kvm"), "kvm");
    ASSERT_TRUE(add("S:abcm0012.kvm"));
    EXPECT_EQ(paths_of(patch()),
              (std::vector<std::string>{"\\kova2000\\abc\\menus\\abcm0012.kve",
                                        "\\kova2000\\abc\\menus\\abcm0012.kvm"}));
}

TEST_F(PatchBuild, MissingSourceLeavesHeaderOnlyAndLogsTheFailure) {
    EXPECT_FALSE(add("S:\\nothere.dat"));
    Patch p = patch();
    EXPECT_TRUE(p.sound);
    EXPECT_TRUE(p.entries.empty());
    EXPECT_EQ(std::filesystem::file_size(host("source/patches/fix1.kvz")), PATCH_FILE_HEADER_SIZE);
    std::string log = setup_log();
    EXPECT_EQ(log.rfind("Error opening file S:\\nothere.dat - ", 0), 0u) << log;
    EXPECT_NE(log.find(" on server "), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
}

TEST_F(PatchBuild, APathPartTooLongToSplitIsRefusedBeforeThePatchIsMade) {
    std::string d(150, 'd'), e(150, 'e');
    write_file(host(d + "/" + e + "/a.dat"), "a");
    std::string file = "S:\\" + d + "\\" + e + "\\a.dat";
    EXPECT_FALSE(add(file.c_str()));
    EXPECT_FALSE(std::filesystem::exists(host("source/patches/fix1.kvz")));
    std::string log = setup_log();
    EXPECT_EQ(log.rfind("Unable to add " + file +
                            " - a part of its path is longer than 260 characters on server ",
                        0),
              0u)
        << log;
}

TEST_F(PatchBuild, UndoPatchByFullPath) {
    write_file(host("a.dat"), "a");
    std::filesystem::create_directories(host("undo"));
    ASSERT_TRUE(patch_add_file(nullptr, "S:\\undo\\0.kvz", "S:\\a.dat", true, true, false, false));
    Patch p = read_patch(host("undo/0.kvz"));
    EXPECT_EQ(p.header.flags, PATCH_FLAG_UNDO);
    EXPECT_EQ(paths_of(p), std::vector<std::string>{"\\a.dat"});
}

// The command line builds through the same function; the patch lands on the current drive.
TEST_F(PatchBuild, CommandLineBuildsAPatch) {
    write_file(host("kova2006/abc/data.dat"), "data");
    auto result = kova_test::run(
        {kova_test::program("kvpatch"), "fix2", "S:\\kova2006\\abc\\data.dat"}, {}, "", server_);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(paths_of(patch("fix2")), std::vector<std::string>{"\\kova2000\\abc\\data.dat"});
    result = kova_test::run({kova_test::program("kvpatch"), "fix2", "kova2006/abc/none.dat"}, {},
                            "", server_);
    EXPECT_EQ(result.status, 1);
}

} // namespace
