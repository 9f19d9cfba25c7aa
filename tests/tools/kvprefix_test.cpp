// kvprefix, run as an administrator runs it: drives, the installation, services and the
// overview, the refusals, a prefix set up with it alone that kvpatch installs into, and the
// tree that cmake --install makes.
#include "tests/support/testing.h"

#include "platform/win32.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;
using kova_test::program;
using kova_test::read_file;
using kova_test::run;
using kova_test::write_file;

namespace {

kova_test::RunResult kvprefix(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {program("kvprefix")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

TEST(Kvprefix, LinksDrivesAndNamesTheInstallation) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir server;
    write_file(server / "KOVABrisel/kova.kvk", "");

    auto linked = kvprefix({"drive", "s:", server.path()});
    EXPECT_EQ(linked.status, 0) << linked.err;
    EXPECT_EQ(linked.out, "S: -> " + server.path() + "\n");
    EXPECT_EQ(fs::read_symlink(prefix.path() + "/dosdevices/s:"), server.path());
    // The platform sees the drive at once.
    EXPECT_EQ(GetDriveTypeA("S:\\"), DRIVE_FIXED);

    auto drives = kvprefix({"drives"});
    EXPECT_EQ(drives.status, 0);
    EXPECT_NE(drives.out.find("  S: -> " + server.path() + " (local)\n"), std::string::npos)
        << drives.out;
    EXPECT_NE(drives.out.find("  Z: -> / (local)\n"), std::string::npos) << drives.out;

    // A host path is taken on its drive; the trailing backslash is added.
    auto home = kvprefix({"home", server / "KOVABrisel"});
    EXPECT_EQ(home.status, 0) << home.err;
    EXPECT_EQ(home.out, "ServiceDataHome = S:\\KOVABrisel\\\n");
    EXPECT_EQ(kvprefix({"home"}).out, "S:\\KOVABrisel\\\n");
    EXPECT_NE(read_file(prefix.path() + "/system.reg")
                  .find("\"ServiceDataHome\"=\"S:\\\\KOVABrisel\\\\\""),
              std::string::npos);

    auto removed = kvprefix({"drive", "S:", "--remove"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(prefix.path() + "/dosdevices/s:")));
}

TEST(Kvprefix, RefusesWhatWouldLeaveABrokenPrefix) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir dir;
    write_file(dir / "file.txt", "");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // its start
    };
    const Case cases[] = {
        {{"drive", "SS:", dir.path()}, 1, "kvprefix: 'SS:' names no drive"},
        {{"drive", "T:", dir / "file.txt"},
         1,
         "kvprefix: " + dir.path() + "/file.txt is not a folder"},
        {{"drive", "T:", dir / "none"}, 1, "kvprefix: " + dir.path() + "/none is not a folder"},
        {{"drive", "Z:", "--remove"}, 1, "kvprefix: Z: is the host's root"},
        {{"home", "S:\\KOVABrisel\\"}, 1, "kvprefix: S:\\KOVABrisel\\ does not exist"},
        {{"home", dir.path()}, 1, "kvprefix: Z:"},
        {{"home", "KOVABrisel"}, 1, "kvprefix: 'KOVABrisel' is no full path"},
        {{"home"}, 1, "kvprefix: no installation is set"},
        {{"service", "KOVAQM", "kvqm", "--sometimes"}, 2, "usage: kvprefix"},
        {{"start", "NOSUCH"}, 1, "kvprefix: no service NOSUCH"},
        {{"frobnicate"}, 2, "usage: kvprefix"},
        {{}, 2, "usage: kvprefix"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto result = kvprefix(c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(prefix.path() + "/dosdevices/t:")));
    EXPECT_EQ(read_file(prefix.path() + "/system.reg").find("ServiceDataHome"), std::string::npos);
}

TEST(Kvprefix, RegistersStartsAndStopsServices) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir server;
    ASSERT_EQ(kvprefix({"drive", "S:", server.path()}).status, 0);
    write_file(server / "KOVABrisel/kova.kvk", "");
    write_file(server / "KOVABrisel/kova.ini", "[system]\r\nrelease=21\r\n");
    ASSERT_EQ(kvprefix({"home", "S:\\KOVABrisel\\"}).status, 0);
    std::string command = program("kvqm") + " " + server.path() + "/KOVABrisel";

    auto registered = kvprefix({"service", "KOVAQM", command, "--demand"});
    EXPECT_EQ(registered.status, 0) << registered.err;
    EXPECT_EQ(registered.out, "KOVAQM (on demand): " + command + "\n");
    // Registering again changes the start type of the same service.
    EXPECT_EQ(kvprefix({"service", "KOVAQM", command}).status, 0);

    // However the test ends, the manager it started does not outlive it.
    struct StopAtEnd {
        ~StopAtEnd() { kvprefix({"stop", "KOVAQM"}); }
    } stop_at_end;
    EXPECT_EQ(kvprefix({"start", "KOVAQM"}).status, 0);
    auto show = kvprefix({"show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_NE(show.out.find("prefix: " + prefix.path() + "\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("installation: S:\\KOVABrisel\\\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("  KOVAQM     automatic running  " + command), std::string::npos)
        << show.out;
    EXPECT_NE(show.out.find("trees found:\n  S:\\KOVABrisel\\\n"), std::string::npos) << show.out;

    auto stopped = kvprefix({"stop", "KOVAQM"});
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_NE(kvprefix({"show"}).out.find("KOVAQM     automatic stopped"), std::string::npos);
    EXPECT_EQ(kvprefix({"service", "KOVAQM", "--remove"}).status, 0);
    EXPECT_NE(kvprefix({"show"}).out.find("services:\n  none\n"), std::string::npos);
}

TEST(Kvprefix, APrefixSetUpWithItServesKvpatch) {
    kova_test::TempPrefix prefix;
    kova_test::TempDir server, dev;
    write_file(server / "KOVABrisel/kova.kvk", "");
    write_file(server / "KOVABrisel/kova.ini", "[system]\r\nrelease=21\r\n");
    write_file(dev / "kova2000/abc/a.dat", "new");
    ASSERT_EQ(kvprefix({"drive", "S:", server.path()}).status, 0);
    ASSERT_EQ(kvprefix({"drive", "D:", dev.path()}).status, 0);
    ASSERT_EQ(kvprefix({"home", "S:\\KOVABrisel\\"}).status, 0);

    auto built = run({program("kvpatch"), "fix1", "D:\\kova2000\\abc\\a.dat"}, {}, "", dev.path());
    ASSERT_EQ(built.status, 0) << built.err;
    auto installed = run({program("kvpatch"), "fix1"}, {}, "", dev.path());
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_NE(installed.err.find("kvpatch: Installed D:\\source\\patches\\fix1.kvz into "
                                 "S:\\KOVABrisel\\; undo with S:\\KOVABrisel\\unpatch\\0.kvz\n"),
              std::string::npos)
        << installed.err;
    EXPECT_EQ(read_file(server / "KOVABrisel/abc/a.dat"), "new");
}

TEST(InstallTree, ProgramsAndThePatchTypeLandInAPrefix) {
    kova_test::TempDir root;
    auto result = run({"cmake", "--install", KOVA_BUILD_DIR, "--prefix", root.path()});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    for (const char *name : {"kvpatch", "kvqm", "kvfm", "kvbrun", "kvprefix"}) {
        fs::path file = root / (std::string("bin/") + name);
        EXPECT_TRUE(fs::is_regular_file(file)) << name;
        EXPECT_NE(fs::status(file).permissions() & fs::perms::owner_exec, fs::perms::none) << name;
    }
    EXPECT_FALSE(fs::exists(root / "bin/kvclient")) << "a test helper, not part of a package";
    std::string mime = read_file(root / "share/mime/packages/kova-kvz.xml");
    EXPECT_NE(mime.find("<mime-type type=\"application/x-kova-kvz\">"), std::string::npos);
    EXPECT_NE(mime.find("<glob pattern=\"*.kvz\"/>"), std::string::npos);
    std::string desktop = read_file(root / "share/applications/kvpatch.desktop");
    for (const char *line : {"Exec=kvpatch %f\n", "MimeType=application/x-kova-kvz;\n",
                             "Exec=kvpatch %f /m\n", "Exec=kvpatch %f /f\n"})
        EXPECT_NE(desktop.find(line), std::string::npos) << line;
}

} // namespace
