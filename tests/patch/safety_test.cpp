// An install under attack, through the real kvpatch: killed at any moment, interrupted,
// short of disk, pointed through links, started twice at once, and fed names the file layer
// refuses. After each, no component holds partial bytes, every undo patch written puts its
// own tree back, and the patch can be installed again.
#include "patch/build.h"
#include "patch/install.h"
#include "patch/process.h"

#include "tests/coord/manager_fixture.h"
#include "tests/patch/patch_files.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <sys/mount.h>
#include <thread>

using namespace patch_test;
using kova_test::read_file;
using kova_test::write_file;

namespace fs = std::filesystem;

namespace {

// Bytes that compress about as well as programs do: words, numbers and noise.
std::string content(uint32_t seed, size_t size) {
    std::mt19937 random(seed);
    static const char *const words[] = {"account", "ledger ", "\r\n", "0000", "tax ", "kova "};
    std::string out;
    while (out.size() < size) {
        uint32_t pick = random() % 8;
        if (pick < 6)
            out += words[pick];
        else
            out += static_cast<char>(random());
    }
    out.resize(size);
    return out;
}

using Files = std::map<std::string, std::string>;

class InstallSafety : public Installation {
protected:
    static constexpr int components = 8;

    void SetUp() override {
        Installation::SetUp();
        dev_ = prefix_.map_drive('d');
        set_service_data_home("S:\\KOVABrisel\\");
    }

    // Two release trees whose installed copies differ, each component `size` bytes.
    void trees(size_t size) {
        for (const char *tree : {"KOVABrisel", "kova2006"}) {
            fs::remove_all(host(tree));
            write_file(host(std::string(tree) + "/kova.kvk"), "");
            write_file(host(std::string(tree) + "/kova.ini"), "[system]\r\nrelease=21\r\n");
            for (int i = 0; i < components; ++i) {
                std::string file = host(std::string(tree) + "/abc/c" + std::to_string(i) + ".dat");
                write_file(file, content(static_cast<uint32_t>(i + tree[4]), size));
                set_mtime(file, 2025, 1, 1, 12, 0, 0);
            }
        }
        original_["KOVABrisel"] = snapshot("KOVABrisel");
        original_["kova2006"] = snapshot("kova2006");
    }

    // The patch: a new revision of every component and one component in a new folder.
    std::string patch(size_t size) {
        fs::create_directories(host("p"));
        fs::remove(host("p/fix.kvz"));
        std::vector<std::string> files;
        for (int i = 0; i < components; ++i) files.push_back("abc\\c" + std::to_string(i) + ".dat");
        files.push_back("abc\\added\\n.dat");
        for (const std::string &file : files) {
            std::string host_file = dev_ + "/kova2000/" + file;
            std::replace(host_file.begin(), host_file.end(), '\\', '/');
            write_file(host_file, content(static_cast<uint32_t>(file.size() * 7919), size));
            set_mtime(host_file, 2026, 6, 1, 12, 0, 0);
            std::string source = "D:\\kova2000\\" + file;
            EXPECT_TRUE(patch_add_file("S:\\p\\fix.kvz", source.c_str(), {.direct_path = true}));
        }
        patched_ = snapshot_of(dev_ + "/kova2000");
        return "S:\\p\\fix.kvz";
    }

    // Every file of a tree but the tool's own records, by path below the tree.
    Files snapshot(const std::string &tree) { return snapshot_of(host(tree)); }
    static Files snapshot_of(const std::string &root) {
        Files files;
        for (auto &entry : fs::recursive_directory_iterator(root)) {
            std::string relative = fs::relative(entry.path(), root).string();
            if (relative.rfind("unpatch", 0) == 0 || relative == "setup.log" ||
                relative == "kvstart.log" || relative == "kvpatch.lck")
                continue;
            files[relative] = entry.is_regular_file() ? read_file(entry.path().string()) : "/";
        }
        return files;
    }

    // Each component holds its tree's old bytes or the patch's new bytes, never a mix.
    void expect_whole(const std::string &tree) {
        for (const auto &[path, data] : snapshot(tree)) {
            if (data == "/" || path.find("~kvpatch.tmp") != std::string::npos) continue;
            auto old_copy = original_[tree].find(path);
            bool old_bytes = old_copy != original_[tree].end() && old_copy->second == data;
            auto new_copy = patched_.find(path);
            bool new_bytes = new_copy != patched_.end() && new_copy->second == data;
            EXPECT_TRUE(old_bytes || new_bytes) << tree << "/" << path << " holds partial bytes";
        }
    }

    kova_test::RunResult kvpatch(const std::vector<std::string> &args) {
        std::vector<std::string> argv{kova_test::program("kvpatch")};
        argv.insert(argv.end(), args.begin(), args.end());
        return kova_test::run(argv, {}, "", server_);
    }

    // The first undo patch of a run: the one whose tree comes first.
    std::string first_undo() {
        for (const char *tree : {"KOVABrisel", "kova2006"})
            for (int n = 9; n >= 0; --n)
                if (fs::exists(host(std::string(tree) + "/unpatch/" + std::to_string(n) + ".kvz")))
                    return std::string("S:\\") + tree + "\\unpatch\\" + std::to_string(n) + ".kvz";
        return {};
    }

    std::string dev_;
    std::map<std::string, Files> original_;
    Files patched_;
};

TEST_F(InstallSafety, KilledAtAnyMomentEveryTreeCanBePutBackAndPatchedAgain) {
    trees(300 * 1024);
    std::string fix = patch(300 * 1024);
    // How long an undisturbed install takes, to spread the kills over it: the quicker of two,
    // since the first also loads the program and the files from a cold cache.
    long long whole = 0;
    for (int measured = 0; measured < 2; ++measured) {
        if (measured) trees(300 * 1024);
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(kvpatch({fix}).status, 0);
        long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
        whole = measured ? std::min(whole, took) : took;
    }
    std::mt19937 random(20261210);
    int rounds = 0, landed = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (rounds < 40 && std::chrono::steady_clock::now() < deadline) {
        ++rounds;
        SCOPED_TRACE(rounds);
        trees(300 * 1024);
        {
            kova_test::Child run({kova_test::program("kvpatch"), fix}, {}, server_);
            // Within the first four fifths: a loaded machine can make one run quicker than
            // the measured one, and a kill after the end tests nothing.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % (whole * 4 / 5 + 1)));
            run.signal(SIGKILL);
            if (run.wait() == 128 + SIGKILL)
                ++landed;
            else // the run ended before the kill: runs are quicker now than measured
                whole = std::max(whole * 3 / 4, 1LL);
        }
        expect_whole("KOVABrisel");
        expect_whole("kova2006");
        // The undo patch the run had begun puts every tree back as it was.
        std::string undo = first_undo();
        if (!undo.empty()) {
            auto result = kvpatch({undo});
            ASSERT_EQ(result.status, 0) << result.err << read_file(host("KOVABrisel/setup.log"))
                                        << read_file(host("kova2006/setup.log"));
        }
        for (const char *tree : {"KOVABrisel", "kova2006"}) {
            Files now = snapshot(tree);
            std::erase_if(now, [](auto &file) {
                return file.first.find("~kvpatch.tmp") != std::string::npos;
            });
            EXPECT_TRUE(now == original_[tree]) << tree << " is not as it was";
        }
        ASSERT_EQ(kvpatch({fix}).status, 0);
        EXPECT_EQ(snapshot("kova2006")["abc/c3.dat"], patched_["abc/c3.dat"]);
        EXPECT_FALSE(fs::exists(host("kova2006/abc/~kvpatch.tmp"))) << "cleared by the next run";
    }
    std::printf("%d rounds, %d killed mid-run (an install takes %lld ms)\n", rounds, landed, whole);
    EXPECT_GE(landed * 2, rounds) << "too few kills landed while an install was running";
}

// An interruption finishes the component in hand and puts the tree back, also during the
// last component, where finishing the tree would have hidden the interruption.
TEST_F(InstallSafety, AnInterruptionFinishesTheComponentAndPutsTheTreeBack) {
    const struct Case {
        const char *what;
        size_t size;     // of each of the patch's components
        bool only_added; // the patch holds one new component alone, else the usual nine
        const char *written;
    } cases[] = {
        {"the first of nine components", 8 * 1024 * 1024, false, "KOVABrisel/abc/~kvpatch.tmp"},
        {"the only component", 32 * 1024 * 1024, true, "KOVABrisel/abc/added/~kvpatch.tmp"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        trees(c.only_added ? 4096 : c.size);
        std::string fix = c.only_added ? "S:\\p\\one.kvz" : patch(c.size);
        if (c.only_added) {
            fs::remove(host("p/one.kvz"));
            write_file(dev_ + "/kova2000/abc/added/n.dat", content(7, c.size));
            ASSERT_TRUE(patch_add_file(fix.c_str(), "D:\\kova2000\\abc\\added\\n.dat",
                                       {.direct_path = true}));
        }
        kova_test::Child run({kova_test::program("kvpatch"), fix}, {}, server_);
        ASSERT_TRUE(
            kova_test::eventually([&] { return fs::exists(host(c.written)) || !run.running(); }));
        run.signal(SIGINT);
        EXPECT_EQ(run.wait(), 1);
        for (const char *tree : {"KOVABrisel", "kova2006"})
            EXPECT_TRUE(snapshot(tree) == original_[tree]) << tree << " is not as it was";
        std::string log = read_file(host("KOVABrisel/setup.log"));
        EXPECT_NE(log.find("Installation interrupted"), std::string::npos) << log;
        EXPECT_NE(log.find("every component there is as it was"), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(host("KOVABrisel/unpatch")))
            << "nothing left to undo, and the folder the run made for it gone";
        EXPECT_EQ(kvpatch({fix}).status, 0);
    }
}

// A run killed while it made its undo patch leaves the patch half made under a name of its
// own, never an empty unpatch\0.kvz that no install could read; the next run replaces it.
TEST_F(InstallSafety, AnUndoPatchKilledWhileMadeLeavesOnlyLitterTheNextRunReplaces) {
    trees(64 * 1024);
    std::string fix = patch(64 * 1024);
    write_file(host("KOVABrisel/unpatch/0.kvz.new"), "");
    write_file(host("kova2006/unpatch/0.kvz.new"), "half a header");
    ASSERT_EQ(kvpatch({fix}).status, 0);
    for (const char *tree : {"KOVABrisel", "kova2006"}) {
        EXPECT_FALSE(fs::exists(host(std::string(tree) + "/unpatch/0.kvz.new"))) << tree;
        EXPECT_EQ(snapshot(tree)["abc/c3.dat"], patched_["abc/c3.dat"]) << tree;
    }
    ASSERT_EQ(kvpatch({"S:\\KOVABrisel\\unpatch\\0.kvz"}).status, 0);
    for (const char *tree : {"KOVABrisel", "kova2006"})
        EXPECT_TRUE(snapshot(tree) == original_[tree]) << tree;
}

TEST_F(InstallSafety, TwoInstallsAtOnceTakeTurns) {
    trees(200 * 1024);
    std::string fix = patch(200 * 1024);
    {
        kova_test::Child first({kova_test::program("kvpatch"), fix}, {}, server_);
        kova_test::Child second({kova_test::program("kvpatch"), fix}, {}, server_);
        EXPECT_EQ(first.wait(), 0) << first.output();
        EXPECT_EQ(second.wait(), 0) << second.output();
    }
    // One run's undo patch holds the originals, the other's the patch's own copies; the
    // originals' undo patch puts back both trees.
    for (const char *tree : {"KOVABrisel", "kova2006"}) {
        Patch zero = read_patch(host(std::string(tree) + "/unpatch/0.kvz"));
        Patch one = read_patch(host(std::string(tree) + "/unpatch/1.kvz"));
        ASSERT_TRUE(zero.sound && one.sound);
        ASSERT_EQ(zero.entries.size(), static_cast<size_t>(components));
        ASSERT_EQ(one.entries.size(), static_cast<size_t>(components + 1));
        const Patch &originals = zero.entries[0].data == original_[tree]["abc/c0.dat"] ? zero : one;
        for (const Entry &entry : originals.entries) {
            std::string relative = entry.path;
            std::replace(relative.begin(), relative.end(), '\\', '/');
            EXPECT_EQ(entry.data, original_[tree][relative]) << tree << " " << relative;
        }
    }
}

// Drive T: on a small volume of its own.
class InstallDiskFull : public InstallSafety {
protected:
    void SetUp() override {
        InstallSafety::SetUp();
        volume_ = dir_.path();
        if (mount("tmpfs", volume_.c_str(), "tmpfs", 0, "size=3m") != 0)
            GTEST_SKIP() << "a small volume needs root (mount: " << std::strerror(errno) << ")";
        mounted_ = true;
    }
    void TearDown() override {
        if (mounted_) umount2(volume_.c_str(), MNT_DETACH);
        InstallSafety::TearDown();
    }
    kova_test::TempDir dir_;
    std::string volume_;
    bool mounted_ = false;
};

TEST_F(InstallDiskFull, ACopyOrAnUndoSaveThatDoesNotFitLeavesTheTreeAsItWas) {
    struct Case {
        const char *what;
        size_t installed, patched;
    } cases[] = {
        {"the new copy does not fit", 256 * 1024, 5 * 1024 * 1024},
        {"the undo save does not fit", 1600 * 1024, 64 * 1024},
    };
    std::string tree = prefix_.map_drive('t', volume_);
    set_service_data_home("T:\\KOVABrisel\\");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(tree + "/KOVABrisel");
        write_file(tree + "/KOVABrisel/kova.kvk", "");
        write_file(tree + "/KOVABrisel/kova.ini", "[system]\r\nrelease=21\r\n");
        // Noise, so the undo patch needs the installed copy's full size.
        std::mt19937 random(1);
        std::string installed(c.installed, '\0');
        for (char &ch : installed) ch = static_cast<char>(random());
        write_file(tree + "/KOVABrisel/abc/a.dat", installed);
        set_mtime(tree + "/KOVABrisel/abc/a.dat", 2025, 1, 1, 12, 0, 0);
        write_file(tree + "/KOVABrisel/abc/b.dat", "b");
        set_mtime(tree + "/KOVABrisel/abc/b.dat", 2025, 1, 1, 12, 0, 0);
        Files before = snapshot_of(tree + "/KOVABrisel");

        fs::remove(host("p/fix.kvz"));
        fs::create_directories(host("p"));
        write_file(dev_ + "/kova2000/abc/b.dat", "new b");
        write_file(dev_ + "/kova2000/abc/a.dat", content(2, c.patched));
        for (const char *file : {"D:\\kova2000\\abc\\b.dat", "D:\\kova2000\\abc\\a.dat"})
            ASSERT_TRUE(patch_add_file("S:\\p\\fix.kvz", file, {.direct_path = true}));

        auto result = kvpatch({"S:\\p\\fix.kvz"});
        EXPECT_EQ(result.status, 1);
        Files after = snapshot_of(tree + "/KOVABrisel");
        EXPECT_TRUE(after == before) << "b.dat was put back, a.dat never touched";
        EXPECT_FALSE(fs::exists(tree + "/KOVABrisel/abc/~kvpatch.tmp"));
    }
}

// Links out of a tree, and names the file layer refuses, stop the install before anything
// is written.
class InstallRefusals : public InstallSafety {};

TEST_F(InstallRefusals, LinksLeadingOutOfTheTreeAreRefused) {
    struct Case {
        const char *what;
        std::function<void(const std::string &outside)> link;
    } cases[] = {
        {"a folder linked outside",
         [&](const std::string &outside) {
             fs::remove_all(host("KOVABrisel/abc"));
             fs::create_directory_symlink(outside, host("KOVABrisel/abc"));
         }},
        {"a component linked outside",
         [&](const std::string &outside) {
             fs::remove(host("KOVABrisel/abc/c1.dat"));
             fs::create_symlink(outside + "/c1.dat", host("KOVABrisel/abc/c1.dat"));
         }},
        {"the undo folder linked outside",
         [&](const std::string &outside) {
             fs::create_directory_symlink(outside, host("KOVABrisel/unpatch"));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        trees(1000);
        std::string fix = patch(1000);
        kova_test::TempDir outside;
        write_file(outside / "c1.dat", "outside");
        c.link(outside.path());
        auto result = kvpatch({fix});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read_file(outside / "c1.dat"), "outside");
        EXPECT_EQ(std::distance(fs::directory_iterator(outside.path()), fs::directory_iterator{}),
                  1)
            << "nothing written outside";
        EXPECT_NE(read_file(host("KOVABrisel/setup.log")).find("outside the release directory"),
                  std::string::npos);
        fs::remove_all(host("KOVABrisel"));
    }
}

TEST_F(InstallRefusals, PathsAndLengthsExtractionWouldRefuseFailVerification) {
    // The last component may declare a length its block does not hold.
    auto craft = [](const std::vector<std::pair<std::string, std::string>> &components,
                    uint32_t declared) {
        PATCH_FILE_HEADER header;
        std::string out(PATCH_FILE_HEADER_SIZE, '\0');
        patch_encode_file_header(header, reinterpret_cast<uint8_t *>(out.data()));
        for (const auto &[path, data] : components) {
            PATCH_COMPONENT_HEADER component;
            bool last = &path == &components.back().first;
            component.length = last && declared ? declared : static_cast<uint32_t>(data.size());
            std::snprintf(component.path, sizeof component.path, "%s", path.c_str());
            component.stamp = {{0x01, 0x01, 0x20, 0x26}, {0x12, 0, 0}};
            uint8_t bytes[PATCH_COMPONENT_HEADER_SIZE];
            patch_encode_component_header(component, bytes);
            out.append(reinterpret_cast<char *>(bytes), sizeof bytes);
            std::vector<uint8_t> block(PATCH_BUFFER_HEADER_SIZE + PATCH_BLOCK_SIZE);
            size_t size = patch_make_block(reinterpret_cast<const uint8_t *>(data.data()),
                                           static_cast<uint32_t>(data.size()), block.data());
            out.append(reinterpret_cast<char *>(block.data()), size);
        }
        return out;
    };
    struct Case {
        std::string path;
        uint32_t declared;
        const char *message;
    } cases[] = {
        {"abc\\bell\a.dat", 0, "holds a character"},
        {"abc\\pipe|.dat", 0, "holds a character"},
        {"abc\\star*.dat", 0, "holds a character"},
        {"abc\\" + std::string(256, 'n') + ".dat", 0, "longer than 255"},
        {"abc\\" + std::string(200, 'd') + "\\" + std::string(200, 'e'), 0, "longer than 259"},
        {"abc\\CON.txt", 0, "names a device"},
        {"abc\\lpt1", 0, "names a device"},
        {"abc\\dot.", 0, "ending in a dot"},
        {"abc\\long.dat", 10, "do not add up to its length"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        trees(100);
        fs::create_directories(host("p"));
        write_file(host("p/bad.kvz"),
                   craft({{"abc\\c0.dat", "first"}, {c.path, std::string(100, 'x')}}, c.declared));
        fs::remove(host("KOVABrisel/setup.log"));
        EXPECT_EQ(kvpatch({"S:\\p\\bad.kvz"}).status, 1);
        EXPECT_TRUE(snapshot("KOVABrisel") == original_["KOVABrisel"]) << "nothing replaced";
        std::string log = read_file(host("KOVABrisel/setup.log"));
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
}

} // namespace

// Undoing a run puts back every tree it changed from that tree's own undo patch, whichever of
// them the operator installs.
class InstallUndo : public InstallSafety {};

TEST_F(InstallUndo, EachTreeGetsBackItsOwnCopiesAndLosesWhatThePatchAdded) {
    for (const char *undo : {"S:\\KOVABrisel\\unpatch\\0.kvz", "S:\\kova2006\\unpatch\\0.kvz"}) {
        SCOPED_TRACE(undo);
        trees(5000);
        std::string fix = patch(5000);
        ASSERT_EQ(kvpatch({fix}).status, 0);
        ASSERT_EQ(read_file(host("kova2006/abc/added/n.dat")), patched_["abc/added/n.dat"]);
        auto result = kvpatch({undo});
        ASSERT_EQ(result.status, 0) << result.err;
        for (const char *tree : {"KOVABrisel", "kova2006"})
            EXPECT_TRUE(snapshot(tree) == original_[tree])
                << tree << ": its own copies back, the added file and its folder gone";
        // Nothing is lost by the undo either: the added file is in the undo patch it wrote.
        Patch redo = read_patch(host("kova2006/unpatch/1.kvz"));
        ASSERT_TRUE(redo.sound);
        EXPECT_EQ(redo.entries.back().data, patched_["abc/added/n.dat"]);
        fs::remove_all(host("KOVABrisel/unpatch"));
        fs::remove_all(host("kova2006/unpatch"));
    }
}

TEST_F(InstallUndo, ATreeOfAnyNameIsUndoneInPlace) {
    set_service_data_home("S:\\kovaA\\");
    write_file(host("kovaA/kova.ini"), "[system]\r\nrelease=21\r\n");
    write_file(host("kovaA/data/notes.txt"), "notes as they were");
    set_mtime(host("kovaA/data/notes.txt"), 2025, 1, 1, 12, 0, 0);
    write_file(dev_ + "/kova2000/data/notes.txt", "patched notes");
    set_mtime(dev_ + "/kova2000/data/notes.txt", 2026, 1, 1, 12, 0, 0);
    fs::create_directories(host("p"));
    ASSERT_TRUE(
        patch_add_file("S:\\p\\notes.kvz", "D:\\kova2000\\data\\notes.txt", {.direct_path = true}));
    ASSERT_EQ(kvpatch({"S:\\p\\notes.kvz"}).status, 0);
    ASSERT_EQ(read_file(host("kovaA/data/notes.txt")), "patched notes");
    ASSERT_EQ(kvpatch({"S:\\kovaA\\unpatch\\0.kvz"}).status, 0);
    EXPECT_EQ(read_file(host("kovaA/data/notes.txt")), "notes as they were");
    EXPECT_FALSE(fs::exists(host("kovaA/kovaA")));
}

TEST_F(InstallUndo, AFileAddedTwiceIsInstalledOnceAndUndoneWhole) {
    trees(1000);
    fs::create_directories(host("p"));
    for (const char *revision : {"first revision", "second revision"}) {
        write_file(dev_ + "/kova2000/abc/c0.dat", revision);
        set_mtime(dev_ + "/kova2000/abc/c0.dat", 2026, revision[0] == 'f' ? 1 : 2, 1, 12, 0, 0);
        ASSERT_TRUE(
            patch_add_file("S:\\p\\dup.kvz", "D:\\kova2000\\abc\\c0.dat", {.direct_path = true}));
    }
    ASSERT_EQ(kvpatch({"S:\\p\\dup.kvz"}).status, 0);
    EXPECT_EQ(read_file(host("KOVABrisel/abc/c0.dat")), "second revision");
    EXPECT_EQ(read_patch(host("kova2006/unpatch/0.kvz")).entries.size(), 1u)
        << "the original is saved once";
    ASSERT_EQ(kvpatch({"S:\\KOVABrisel\\unpatch\\0.kvz"}).status, 0);
    for (const char *tree : {"KOVABrisel", "kova2006"})
        EXPECT_TRUE(snapshot(tree) == original_[tree]) << tree;
}
