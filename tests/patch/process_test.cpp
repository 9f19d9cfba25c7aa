// Verifying and extracting patches into a release tree: undo patches, revision rules, stamps,
// parameter files, rebuild flags, the setup program, and damaged or hostile patches.
#include "patch/build.h"
#include "patch/process.h"

#include "tests/patch/patch_files.h"

#include <filesystem>
#include <map>

using namespace patch_test;
using kova_test::read_file;
using kova_test::write_file;

namespace fs = std::filesystem;

namespace {

struct Component {
    std::string path, data;
    TXD_CLOCK stamp{{0x01, 0x01, 0x20, 0x26}, {0x12, 0x00, 0x00}};
};

// A patch written byte by byte, for versions and faults the builder never produces.
std::string craft(uint16_t version, const std::vector<Component> &components, uint16_t flags = 0) {
    PATCH_FILE_HEADER header;
    header.version = version;
    header.flags = flags;
    std::string out(PATCH_FILE_HEADER_SIZE, '\0');
    patch_encode_file_header(header, reinterpret_cast<uint8_t *>(out.data()));
    for (const Component &c : components) {
        PATCH_COMPONENT_HEADER component;
        component.length = static_cast<uint32_t>(c.data.size());
        std::snprintf(component.path, sizeof component.path, "%s", c.path.c_str());
        component.stamp = c.stamp;
        uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
        patch_encode_component_header(component, bytes);
        out.append(reinterpret_cast<char *>(bytes), patch_component_header_size(version));
        std::vector<uint8_t> block(PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE);
        for (size_t at = 0; at < c.data.size(); at += PATCH_BLOCK_SIZE) {
            size_t n = std::min(PATCH_BLOCK_SIZE, c.data.size() - at);
            size_t size = patch_make_block(reinterpret_cast<const uint8_t *>(c.data.data()) + at,
                                           static_cast<uint32_t>(n), block.data());
            out.append(reinterpret_cast<char *>(block.data()), size);
        }
    }
    return out;
}

class PatchProcess : public Installation {
protected:
    void SetUp() override {
        Installation::SetUp();
        fxi_set_program_dir("S:\\kova2006\\");
        fs::create_directories(host("kova2006/unpatch"));
        patch_menu_rebuild = patch_table_rebuild = false;
    }

    // A component source in the development tree \kova2000\ (installed as abc\NAME).
    void source(const std::string &name, const std::string &data, int year = 2026) {
        write_file(host("kova2000/abc/" + name), data);
        set_mtime(host("kova2000/abc/" + name), year, 6, 1, 12, 0, 0);
    }
    void installed(const std::string &name, const std::string &data, int year) {
        write_file(host("kova2006/abc/" + name), data);
        set_mtime(host("kova2006/abc/" + name), year, 6, 1, 12, 0, 0);
    }
    std::string build(const std::vector<std::string> &names, bool undo = false) {
        fs::create_directories(host("p"));
        for (const std::string &name : names) {
            std::string file = "S:\\kova2000\\abc\\" + name;
            EXPECT_TRUE(patch_add_file("S:\\p\\fix.kvz", file.c_str(),
                                       {.undo = undo, .direct_path = true}));
        }
        return "S:\\p\\fix.kvz";
    }
    bool extract(const std::string &patch, bool first_tree = false,
                 const char *undo = "S:\\kova2006\\unpatch\\0.kvz") {
        return patch_process(patch.c_str(), PatchMode::extract, undo, first_tree);
    }
    bool verify(const std::string &patch) {
        return patch_process(patch.c_str(), PatchMode::verify, nullptr, false);
    }
    std::string tree(const std::string &name) { return read_file(host("kova2006/abc/" + name)); }

    // Every file below drive S: but the logs, with its content: what a step changed.
    std::map<std::string, std::string> snapshot() {
        std::map<std::string, std::string> files;
        for (auto &entry : fs::recursive_directory_iterator(server_)) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name != "setup.log" && name != "kvstart.log")
                files[entry.path().string()] = read_file(entry.path().string());
        }
        return files;
    }
};

TEST_F(PatchProcess, VerifyReadsEverythingAndChangesNothing) {
    source("a.dat", std::string(100000, 'a'));
    std::string patch = build({"a.dat"});
    auto before = snapshot();
    EXPECT_TRUE(verify(patch)); // no operator: agreed without a question
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(PatchProcess, ExtractSavesReplacedCopiesAndRestoresStamps) {
    installed("a.dat", "old", 2025);
    source("a.dat", "new");
    source("b.dat", "fresh");
    ASSERT_TRUE(extract(build({"a.dat", "b.dat"})));

    EXPECT_EQ(tree("a.dat"), "new");
    EXPECT_EQ(tree("b.dat"), "fresh");
    EXPECT_EQ(fs::last_write_time(host("kova2006/abc/a.dat")),
              fs::last_write_time(host("kova2000/abc/a.dat")));

    Patch undo = read_patch(host("kova2006/unpatch/0.kvz"));
    ASSERT_TRUE(undo.sound);
    EXPECT_EQ(undo.header.flags, PATCH_FLAG_UNDO);
    ASSERT_EQ(undo.entries.size(), 1u); // b.dat was new: nothing to save
    EXPECT_EQ(undo.entries[0].path, "abc\\a.dat"); // relative to the tree, whatever its name
    EXPECT_EQ(undo.entries[0].data, "old");
    EXPECT_NE(setup_log().find("Patch fix.kvz created on "), std::string::npos) << setup_log();

    // Installing the undo patch puts the old copy back.
    ASSERT_TRUE(extract("S:\\kova2006\\unpatch\\0.kvz", false, "S:\\kova2006\\unpatch\\1.kvz"));
    EXPECT_EQ(tree("a.dat"), "old");
}

TEST_F(PatchProcess, RevisionRules) {
    struct Case {
        const char *name;
        bool undo;
        int installed_year, patch_year;
        bool applied;
        const char *message;
    } cases[] = {
        {"a.dat", false, 2027, 2026, false, "is a later revision"},
        {"a.dat", false, 2026, 2026, true, nullptr}, // equal clocks pass
        {"a.dat", false, 2025, 2026, true, nullptr},
        {"k.dll", false, 2027, 2026, true, nullptr}, // libraries are never compared
        {"a.dat", true, 2025, 2026, false, "is an earlier revision"},
        {"a.dat", true, 2027, 2026, true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.name << " undo " << c.undo << " installed " << c.installed_year);
        fs::remove_all(host("p"));
        fs::remove_all(host("kova2006/unpatch/0.kvz"));
        fs::remove(host("home/setup.log"));
        installed(c.name, "installed", c.installed_year);
        source(c.name, "patched", c.patch_year);
        EXPECT_EQ(extract(build({c.name}, c.undo)), c.applied) << setup_log();
        EXPECT_EQ(tree(c.name), c.applied ? "patched" : "installed");
        if (c.message) {
            EXPECT_NE(setup_log().find("Unable to apply patch - the existing copy of "
                                       "'S:\\kova2006\\abc\\a.dat' on your system " +
                                       std::string(c.message)),
                      std::string::npos)
                << setup_log();
        }
        EXPECT_EQ(read_patch(host("kova2006/unpatch/0.kvz")).entries.size(), c.applied ? 1u : 0u);
    }
}

TEST_F(PatchProcess, ReadOnlyTargetIsReplaced) {
    installed("a.dat", "old", 2025);
    fs::permissions(host("kova2006/abc/a.dat"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    source("a.dat", "new");
    ASSERT_TRUE(extract(build({"a.dat"})));
    EXPECT_EQ(tree("a.dat"), "new");
}

TEST_F(PatchProcess, ParameterFilesGoToTheDataHome) {
    source("abcparm.kvc", "parameters");
    std::string patch = build({"abcparm.kvc"});
    ASSERT_TRUE(extract(patch));
    EXPECT_EQ(read_file(host("home/kv7tparm.abc")), "parameters");

    fxi_set_option(248);
    fxi_set_release(19);
    fs::create_directories(host("home/data/abc/parameters"));
    ASSERT_TRUE(extract(patch, false, "S:\\kova2006\\unpatch\\1.kvz"));
    EXPECT_EQ(read_file(host("home/data/abc/parameters/abc.kvc")), "parameters");
    fxi_clear_option(248);
}

TEST_F(PatchProcess, OverlaysTakeTheirModuleNameWithOption248) {
    std::string patch = "S:\\p\\ovl.kvz";
    write_file(host("p/ovl.kvz"), craft(2, {{"\\kova2000\\abc\\overlays\\kv830042.exe", "exe"}}));
    ASSERT_TRUE(extract(patch));
    EXPECT_EQ(read_file(host("kova2006/abc/overlays/kv830042.exe")), "exe");
    fxi_set_option(248);
    ASSERT_TRUE(extract(patch, false, "S:\\kova2006\\unpatch\\1.kvz"));
    EXPECT_EQ(read_file(host("kova2006/abc/overlays/abc30042.exe")), "exe");
    fxi_clear_option(248);
}

TEST_F(PatchProcess, RebuildFlagsFollowTheExtensions) {
    source("a.dat", "x");
    ASSERT_TRUE(extract(build({"a.dat"})));
    EXPECT_FALSE(patch_menu_rebuild || patch_table_rebuild);
    source("m.kve", "menu");
    ASSERT_TRUE(extract(build({"m.kve"}), false, "S:\\kova2006\\unpatch\\1.kvz"));
    EXPECT_TRUE(patch_menu_rebuild);
    EXPECT_FALSE(patch_table_rebuild);
    source("t.kvx", "<x/>");
    ASSERT_TRUE(extract(build({"t.kvx"}), false, "S:\\kova2006\\unpatch\\2.kvz"));
    EXPECT_TRUE(patch_menu_rebuild && patch_table_rebuild); // never cleared
}

TEST_F(PatchProcess, SetupProgramRunsForTheFirstTreeOnly) {
    if (kova_test::on_windows()) GTEST_SKIP() << "the stand-in setup program is a shell script";
    write_file(host("kova2006/v10setup.exe"),
               "#!/bin/sh\necho \"$@\" > \"$(dirname \"$0\")/setup.ran\"\n");
    fs::permissions(host("kova2006/v10setup.exe"), fs::perms::owner_exec, fs::perm_options::add);
    source("a.dat", "x");
    std::string patch = build({"a.dat"});
    ASSERT_TRUE(extract(patch, false));
    EXPECT_FALSE(fs::exists(host("kova2006/setup.ran")));
    ASSERT_TRUE(extract(patch, true, "S:\\kova2006\\unpatch\\1.kvz"));
    EXPECT_EQ(read_file(host("kova2006/setup.ran")), "/q\n");
}

TEST_F(PatchProcess, OlderVersions) {
    // Version 1: short component headers and no stamps; version 0: stamps not applied.
    for (uint16_t version : {1, 0}) {
        SCOPED_TRACE(version);
        installed("a.dat", "installed", 2030); // no revision check without a stamp (v1)
        fs::remove(host("kova2006/unpatch/0.kvz"));
        write_file(host("p/old.kvz"), craft(version, {{"\\kova2000\\abc\\a.dat",
                                                       "patched",
                                                       {{0x01, 0x01, 0x20, 0x31}, {0x12, 0, 0}}}}));
        ASSERT_TRUE(verify("S:\\p\\old.kvz"));
        ASSERT_TRUE(extract("S:\\p\\old.kvz"));
        EXPECT_EQ(tree("a.dat"), "patched");
        auto age =
            fs::file_time_type::clock::now() - fs::last_write_time(host("kova2006/abc/a.dat"));
        EXPECT_LT(std::chrono::duration_cast<std::chrono::minutes>(age).count(), 5);
    }
}

TEST_F(PatchProcess, DamagedPatchesAreRefusedBeforeAnythingChanges) {
    // An imploded block of equal bytes, then stored blocks of noise.
    std::string data(32768, 'a');
    for (int i = 0; i < 40000; ++i) data += static_cast<char>((i * 7919) >> 3);
    source("a.dat", data);
    build({"a.dat"});
    std::string good = read_file(host("p/fix.kvz"));
    size_t component = PATCH_FILE_HEADER_SIZE, block = component + PATCH_COMPONENT_HEADER_SIZE;
    struct Case {
        const char *what;
        size_t offset;
        std::string bytes; // written at offset; empty: the file is cut there
        const char *message;
    } cases[] = {
        {"file magic", 0, "\x01\x02", "Invalid Patch File"},
        {"version", 2, std::string("\x03\x00", 2), "Incompatible Patch File"},
        {"component magic", component, "xx", "Invalid File Header"},
        {"block magic", block, "xx", "Invalid Buffer Header"},
        {"stored length", block + 2, std::string("\x01\x90", 2), "Invalid Buffer Header"},
        {"block bytes", block + 5, std::string("\x07\x07", 2), "Error Decompressing File"},
        {"truncated", block + 100, "", "Error reading file S:\\p\\bad.kvz - "},
        {"short header", 100, "", "Error reading file S:\\p\\bad.kvz - "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string damaged = good;
        if (c.bytes.empty())
            damaged.resize(c.offset);
        else
            damaged.replace(c.offset, c.bytes.size(), c.bytes);
        write_file(host("p/bad.kvz"), damaged);
        fs::remove(host("home/setup.log"));
        auto before = snapshot();
        EXPECT_FALSE(verify("S:\\p\\bad.kvz"));
        EXPECT_NE(setup_log().find(c.message), std::string::npos) << setup_log();
        fs::remove(host("home/setup.log"));
        EXPECT_TRUE(snapshot() == before);
    }
}

TEST_F(PatchProcess, PathsLeavingTheTreeAreRefused) {
    const char *paths[] = {"\\kova2000\\..\\..\\evil.dat", "C:\\evil.dat",
                           "\\\\srv\\share\\evil.dat", "\\kova2000\\abc\\..\\..\\..\\evil.dat"};
    for (const char *path : paths) {
        SCOPED_TRACE(path);
        write_file(host("p/evil.kvz"),
                   craft(2, {{"\\kova2000\\abc\\fine.dat", "fine"}, {path, "evil"}}));
        fs::remove(host("home/setup.log"));
        EXPECT_FALSE(verify("S:\\p\\evil.kvz"));
        EXPECT_NE(setup_log().find("Unable to apply patch - the path '"), std::string::npos)
            << setup_log();
        EXPECT_FALSE(extract("S:\\p\\evil.kvz"));
        EXPECT_FALSE(fs::exists(host("evil.dat")));
        EXPECT_FALSE(fs::exists(server_ + "/../evil.dat"));
        EXPECT_FALSE(fs::exists(prefix_.path() + "/drive_c/evil.dat"));
    }
}

} // namespace
