// Building patches: the patches directory, the source-tree forms of overlays and menus, the
// kernel libraries, release-neutral install paths, blocks and the reported failures; adds that
// fail or are killed leaving the patch as it was, replaced entries, refused paths, and the same
// bytes on any number of cores.
#include "patch/build.h"
#include "patch/ordered_work.h"
#include "patch/process.h"

#include "tests/patch/patch_files.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <random>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace patch_test;
using kova_test::write_file;

namespace {

class PatchBuild : public Installation {
protected:
    Patch patch(const char *name = "fix1") {
        return read_patch(host(std::string("source/patches/") + name + ".kvz"));
    }
    bool add(const char *file, const char *name = "fix1") { return patch_add_file(name, file, {}); }
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

    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.header.version, 2);
    EXPECT_EQ(p.header.flags, 0);
    EXPECT_EQ(paths_of(p), (std::vector<std::string>{"\\kova2000\\abc\\data.dat", "\\kova7\\x.dat",
                                                     "\\kova2000\\abc\\b.dat", "kova.kvk"}));
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

TEST_F(PatchBuild, MissingLibraryStopsTheWholeOverlay) {
    make_libraries();
    std::filesystem::remove(host("kova2000/kovafm64.dll"));
    write_file(host("source/kova.abc/8/abco0042.kvo/abcw0042.exe"), "w");
    EXPECT_FALSE(add("S:abco0042.kvo"));
    // All or nothing: the libraries added before the failure go too, so that adding the overlay
    // again brings all four.
    EXPECT_EQ(std::filesystem::file_size(host("source/patches/fix1.kvz")), PATCH_FILE_HEADER_SIZE);
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
                            " - its folder's path is longer than 259 characters on server ",
                        0),
              0u)
        << log;
}

TEST_F(PatchBuild, UndoPatchByFullPath) {
    write_file(host("a.dat"), "a");
    std::filesystem::create_directories(host("undo"));
    ASSERT_TRUE(
        patch_add_file("S:\\undo\\0.kvz", "S:\\a.dat", {.undo = true, .direct_path = true}));
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

// Words drawn at random: data that compresses about as well as a program's text.
std::string mixed_data(size_t size, unsigned seed) {
    static const char *const words[] = {"patch ", "component", "overlay", "menu",
                                        "\r\n",   "return ",   "0x1F",    "{",
                                        "}",      ";",         " = ",     "kova2000"};
    std::mt19937 rng(seed);
    std::string out;
    while (out.size() < size) {
        out += words[rng() % std::size(words)];
        if (rng() % 5 == 0) out += static_cast<char>(rng());
    }
    out.resize(size);
    return out;
}

// Starts kvpatch with `args` in `cwd`, its output discarded, without waiting for it.
pid_t start_kvpatch(const std::vector<std::string> &args, const std::string &cwd) {
    std::vector<std::string> argv{kova_test::program("kvpatch")};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        FILE *null = std::fopen("/dev/null", "w");
        if (null) dup2(fileno(null), 2);
        std::vector<char *> c_argv;
        for (std::string &arg : argv) c_argv.push_back(arg.data());
        c_argv.push_back(nullptr);
        execv(c_argv[0], c_argv.data());
        _exit(127);
    }
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(PatchBuild, SameFileAgainReplacesItsEntryWhereItStood) {
    for (const char *name : {"a", "b", "c"})
        write_file(host(std::string("kova2006/abc/") + name + ".dat"), name);
    for (const char *file :
         {"S:\\kova2006\\abc\\a.dat", "S:\\kova2006\\abc\\b.dat", "S:\\kova2006\\abc\\c.dat"})
        ASSERT_TRUE(add(file));
    std::string b2 = mixed_data(70000, 2);
    write_file(host("kova2006/abc/b.dat"), b2);
    ASSERT_TRUE(add("S:\\KOVA2006\\ABC\\B.DAT")); // the same path, whatever its case
    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(paths_of(p),
              (std::vector<std::string>{"\\kova2000\\abc\\a.dat", "\\kova2000\\ABC\\B.DAT",
                                        "\\kova2000\\abc\\c.dat"}));
    EXPECT_EQ(p.entries[1].data, b2);
    EXPECT_EQ(p.entries[2].data, "c");

    // The undo patch's entry point: a given stored path, replaced or appended.
    write_file(host("kova2006/abc/a.dat"), "a2");
    const char *patch_path = "S:\\source\\patches\\fix1.kvz";
    ASSERT_TRUE(patch_append_component(patch_path, "S:\\kova2006\\abc\\a.dat",
                                       "\\kova2000\\abc\\a.dat", {}));
    ASSERT_TRUE(patch_append_component(patch_path, "S:\\kova2006\\abc\\c.dat", "\\elsewhere\\c.dat",
                                       {.undo = true, .durable = true}));
    p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.header.flags, 0); // the undo flag only marks patches the call creates
    EXPECT_EQ(paths_of(p),
              (std::vector<std::string>{"\\kova2000\\abc\\a.dat", "\\kova2000\\ABC\\B.DAT",
                                        "\\kova2000\\abc\\c.dat", "\\elsewhere\\c.dat"}));
    EXPECT_EQ(p.entries[0].data, "a2");
    EXPECT_EQ(p.entries[1].data, b2);
}

TEST_F(PatchBuild, VersionOnePatchKeepsItsShortHeaders) {
    PATCH_FILE_HEADER header;
    header.version = 1;
    std::string bytes(PATCH_FILE_HEADER_SIZE, '\0');
    patch_encode_file_header(header, reinterpret_cast<uint8_t *>(bytes.data()));
    write_file(host("source/patches/fix1.kvz"), bytes);
    write_file(host("a.dat"), "alpha");
    write_file(host("b.dat"), "beta");
    ASSERT_TRUE(add("S:\\a.dat"));
    ASSERT_TRUE(add("S:\\b.dat"));
    Patch p = patch();
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.header.version, 1);
    EXPECT_EQ(paths_of(p), (std::vector<std::string>{"\\a.dat", "\\b.dat"}));
    EXPECT_EQ(p.entries[1].data, "beta");
}

// Every way an add can fail leaves the patch byte for byte as it was and no pending file.
TEST_F(PatchBuild, FailedAddsLeaveThePatchAsItWas) {
    std::string menu = "source/kova.abc/8/abcm0012.kvm/";
    write_file(host("kova2006/abc/a.dat"), "a");
    write_file(host(menu + "abcm0012.kve"), mixed_data(50000, 3));
    write_file(host(menu + "abcm0012.kvm"), "kvm");
    write_file(host("kova2006/abc/c.dat"), mixed_data(90000, 4));
    for (const char *file :
         {"S:\\kova2006\\abc\\a.dat", "S:abcm0012.kvm", "S:\\kova2006\\abc\\c.dat"})
        ASSERT_TRUE(add(file));
    const std::string patch_file = host("source/patches/fix1.kvz");
    const std::string before = kova_test::read_file(patch_file);
    ASSERT_EQ(paths_of(patch()).size(), 4u);

    std::string deep = "S:";
    std::string deep_host = server_;
    for (int i = 0; i < 5; ++i) {
        deep += "\\" + std::string(60, static_cast<char>('p' + i));
        deep_host += "/" + std::string(60, static_cast<char>('p' + i));
    }
    write_file(deep_host + "/long.dat", "long");
    // A file whose length promises more than it reads.
    std::string short_read;
    for (const char *candidate : {"/sys/kernel/mm/transparent_hugepage/enabled",
                                  "/sys/kernel/profiling", "/sys/power/state"})
        if (std::filesystem::exists(candidate) && std::filesystem::file_size(candidate) == 4096 &&
            kova_test::read_file(candidate).size() < 4096)
            short_read = "Z:" + std::string(candidate);
    for (char &c : short_read) c = c == '/' ? '\\' : c;

    const char *patch_path = "S:\\source\\patches\\fix1.kvz";
    struct Case {
        const char *what;
        std::function<bool()> add;
        std::string reported;
    };
    std::vector<Case> cases = {
        {"missing source", [&] { return add("S:\\nothere.dat"); },
         "Error opening file S:\\nothere.dat - "},
        {"second file of a menu missing, after its first replaced an entry",
         [&] {
             std::filesystem::remove(host(menu + "abcm0012.kvm"));
             return add("S:abcm0012.kvm");
         },
         "Error opening file S:\\source\\kova.abc\\8\\abcm0012.kvm\\abcm0012.kvm - "},
        {"folder path too long", [&] { return add((deep + "\\long.dat").c_str()); },
         deep + "\\long.dat - its folder's path is longer than 259 characters"},
        {"install path too long",
         [&] {
             std::string stored = "\\" + std::string(PATCH_PATH_SIZE, 'x');
             return patch_append_component(patch_path, "S:\\kova2006\\abc\\a.dat", stored.c_str(),
                                           {});
         },
         "Unable to add S:\\kova2006\\abc\\a.dat - its install path is longer than 1304 "
         "characters"},
        {"empty install path",
         [&] { return patch_append_component(patch_path, "S:\\kova2006\\abc\\a.dat", "", {}); },
         "S:\\kova2006\\abc\\a.dat - it has no file name to install under"},
    };
    if (!short_read.empty())
        cases.push_back({"source that reads short",
                         [&] {
                             return patch_append_component(patch_path, short_read.c_str(),
                                                           "\\kova2000\\abc\\a.dat", {});
                         },
                         "Error reading file " + short_read + " - "});
    else
        std::cout << "no file that reads shorter than its length: that case is not run\n";

    for (const Case &c : cases) {
        std::filesystem::remove(host("home/setup.log"));
        EXPECT_FALSE(c.add()) << c.what;
        EXPECT_EQ(kova_test::read_file(patch_file), before) << c.what;
        EXPECT_FALSE(std::filesystem::exists(patch_file + ".pending")) << c.what;
        EXPECT_NE(setup_log().find(c.reported), std::string::npos) << c.what << "\n" << setup_log();
    }

    // The command line answers such a refusal with status 1.
    auto result = kova_test::run({kova_test::program("kvpatch"), "fix1", deep + "\\long.dat"}, {},
                                 "", server_);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(kova_test::read_file(patch_file), before);

    // A patch a reader would refuse is not added to.
    std::filesystem::resize_file(patch_file, before.size() - 3);
    std::filesystem::remove(host("home/setup.log"));
    EXPECT_FALSE(add("S:\\kova2006\\abc\\a.dat"));
    EXPECT_EQ(kova_test::read_file(patch_file), before.substr(0, before.size() - 3));
    EXPECT_NE(setup_log().find("Error updating file \\source\\patches\\fix1.kvz - Invalid Buffer "
                               "Header"),
              std::string::npos)
        << setup_log();
}

TEST_F(PatchBuild, DiskFullLeavesThePatchAsItWas) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    std::string small = prefix_.path() + "/small";
    std::filesystem::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    prefix_.map_drive('t', small);

    std::string big(1 << 20, '\0');
    std::mt19937 rng(5);
    for (char &c : big) c = static_cast<char>(rng());
    write_file(host("a.dat"), "a");
    write_file(host("b.dat"), "b");
    write_file(host("big.bin"), big);
    ASSERT_TRUE(patch_add_file("T:\\p.kvz", "S:\\a.dat", {.direct_path = true}));
    const std::string before = kova_test::read_file(small + "/p.kvz");

    EXPECT_FALSE(patch_add_file("T:\\p.kvz", "S:\\big.bin", {.direct_path = true}));
    EXPECT_EQ(kova_test::read_file(small + "/p.kvz"), before);
    EXPECT_NE(setup_log().find("Error writing file T:\\p.kvz - "), std::string::npos)
        << setup_log();
    // Replacing the entry fails the same way, after its old bytes were set aside.
    EXPECT_FALSE(patch_append_component("T:\\p.kvz", "S:\\big.bin", "\\a.dat", {}));
    EXPECT_EQ(kova_test::read_file(small + "/p.kvz"), before);
    EXPECT_FALSE(std::filesystem::exists(small + "/p.kvz.pending"));

    ASSERT_TRUE(patch_add_file("T:\\p.kvz", "S:\\b.dat", {.direct_path = true}));
    Patch p = read_patch(small + "/p.kvz");
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(paths_of(p), (std::vector<std::string>{"\\a.dat", "\\b.dat"}));
}

// kvpatch killed at random moments of adds that append and that replace: after recovery the
// patch is always whole, holds every component at most once with its right bytes, and installs.
TEST_F(PatchBuild, KilledAddsLeaveAWholePatch) {
    std::map<std::string, std::string> sources = {
        {"\\kova2000\\abc\\a.dat", "a"},
        {"\\kova2000\\abc\\big0.dat", mixed_data(1 << 20, 6)},
        {"\\kova2000\\abc\\big1.dat", mixed_data(600000, 7)},
    };
    for (const auto &[stored, data] : sources) {
        std::string name = stored.substr(stored.rfind('\\') + 1);
        write_file(host("kova2000/abc/" + name), data);
        set_mtime(host("kova2000/abc/" + name), 2026, 6, 1, 12, 0, 0);
    }
    ASSERT_TRUE(add("S:\\kova2000\\abc\\a.dat", "fixk"));
    const std::string patch_file = host("source/patches/fixk.kvz");

    // Kills fall between the moment a tiny add would have ended (the program is under way) and
    // a little after a whole add of the larger source would have.
    auto time_add = [&](const char *file) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(wait_status(start_kvpatch({"timing", file}, server_)), 0);
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
    };
    time_add("S:\\kova2000\\abc\\a.dat"); // the first run of a prefix sets it up
    auto earliest = time_add("S:\\kova2000\\abc\\a.dat");
    auto whole_add = time_add("S:\\kova2000\\abc\\big0.dat");
    auto window = std::max(whole_add * 11 / 10 - earliest, std::chrono::microseconds(1000));

    std::mt19937 rng(8);
    int killed = 0;
    for (int round = 0; round < 30; ++round) {
        std::string file =
            round % 3 == 2 ? "S:\\kova2000\\abc\\big1.dat" : "S:\\kova2000\\abc\\big0.dat";
        pid_t pid = start_kvpatch({"fixk", file}, server_);
        std::this_thread::sleep_for(earliest * 9 / 10 +
                                    std::chrono::microseconds(rng() % window.count()));
        kill(pid, SIGKILL);
        killed += wait_status(pid) == 128 + SIGKILL;
        // Now and then the next add finds what this one left, and puts it back itself.
        if (round % 4 == 3) continue;

        ASSERT_TRUE(patch_recover("S:\\source\\patches\\fixk.kvz")) << setup_log();
        EXPECT_FALSE(std::filesystem::exists(patch_file + ".pending"));
        Patch p = patch("fixk");
        ASSERT_TRUE(p.sound) << "round " << round;
        ASSERT_GE(p.entries.size(), 1u);
        EXPECT_EQ(p.entries[0].path, "\\kova2000\\abc\\a.dat");
        std::set<std::string> seen;
        for (const Entry &entry : p.entries) {
            EXPECT_TRUE(seen.insert(entry.path).second) << entry.path << " twice";
            EXPECT_EQ(entry.data, sources[entry.path]) << entry.path << " in round " << round;
        }
    }
    std::cout << killed << " of 30 adds killed before they ended (whole add "
              << std::chrono::duration_cast<std::chrono::milliseconds>(whole_add).count()
              << " ms)\n";

    // The patch verifies and installs.
    fxi_set_program_dir("S:\\kova2006\\");
    std::filesystem::create_directories(host("kova2006/unpatch"));
    ASSERT_TRUE(patch_process("S:\\source\\patches\\fixk.kvz", PatchMode::verify, nullptr, false));
    ASSERT_TRUE(patch_process("S:\\source\\patches\\fixk.kvz", PatchMode::extract,
                              "S:\\kova2006\\unpatch\\0.kvz", false))
        << setup_log();
    for (const Entry &entry : patch("fixk").entries) {
        std::string name = entry.path.substr(entry.path.rfind('\\') + 1);
        EXPECT_EQ(kova_test::read_file(host("kova2006/abc/" + name)), sources[entry.path]);
    }
}

TEST_F(PatchBuild, ConcurrentAddsAreSerialised) {
    std::map<std::string, std::string> sources;
    for (int i = 0; i < 6; ++i) {
        std::string name = "f" + std::to_string(i) + ".dat";
        sources["\\" + name] = mixed_data(400000, 10 + i);
        write_file(host(name), sources["\\" + name]);
    }
    for (int i = 0; i < 6; i += 2) {
        pid_t first = start_kvpatch({"fixc", "S:\\f" + std::to_string(i) + ".dat"}, server_);
        pid_t second = start_kvpatch({"fixc", "S:\\f" + std::to_string(i + 1) + ".dat"}, server_);
        EXPECT_EQ(wait_status(first), 0);
        EXPECT_EQ(wait_status(second), 0);
    }
    Patch p = patch("fixc");
    ASSERT_TRUE(p.sound);
    ASSERT_EQ(p.entries.size(), 6u);
    for (const Entry &entry : p.entries) EXPECT_EQ(entry.data, sources[entry.path]) << entry.path;
}

// One worker or several, in this process or through the command line, the bytes are the same;
// SOURCE_DATE_EPOCH fixes the header's creation time.
TEST_F(PatchBuild, SameBytesOnAnyNumberOfCores) {
    std::string data = mixed_data(1 << 20, 9);
    data += std::string(100000, 'z');
    write_file(host("kova2006/abc/data.dat"), data);
    set_mtime(host("kova2006/abc/data.dat"), 2026, 3, 4, 10, 20, 30);
    kova_test::TimeZone zone("UTC0");
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1); // 2023-11-14 22:13:20 UTC

    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(patch_worker_threads(), 1u);
    bool single = add("S:\\kova2006\\abc\\data.dat", "single");
    sched_setaffinity(0, sizeof all, &all);
    ASSERT_TRUE(single);
    EXPECT_EQ(patch_worker_threads(), static_cast<unsigned>(CPU_COUNT(&all)));
    ASSERT_TRUE(add("S:\\kova2006\\abc\\data.dat", "every"));
    auto cli = kova_test::run(
        {"taskset", "-c", "0", kova_test::program("kvpatch"), "cli", "S:\\kova2006\\abc\\data.dat"},
        {{"TZ", "UTC0"}}, "", server_);
    unsetenv("SOURCE_DATE_EPOCH");
    ASSERT_EQ(cli.status, 0) << cli.err;

    std::string single_bytes = kova_test::read_file(host("source/patches/single.kvz"));
    EXPECT_EQ(kova_test::read_file(host("source/patches/every.kvz")), single_bytes);
    EXPECT_EQ(kova_test::read_file(host("source/patches/cli.kvz")), single_bytes);
    Patch p = patch("single");
    ASSERT_TRUE(p.sound);
    EXPECT_EQ(p.entries[0].data, data);
    PATCH_FILE_HEADER expected;
    patch_header_stamp(TXD_CLOCK{{0x14, 0x11, 0x20, 0x23}, {0x22, 0x13, 0x20}}, expected);
    EXPECT_EQ(std::memcmp(&p.header.created_date, &expected.created_date, 3), 0);
    EXPECT_EQ(std::memcmp(&p.header.created_time, &expected.created_time, 3), 0);
}

} // namespace
