// Installing a patch end to end, unattended: the walk over the release trees with their undo
// patches and setup programs, refusals in a later tree, and the managers on loopback stopped
// and started again around each tree.
#include "patch/build.h"
#include "patch/install.h"
#include "patch/process.h"
#include "patch/services.h"

#include "kernel/coord/conn.h"
#include "kernel/coord/queue.h"
#include "tests/coord/manager_fixture.h"
#include "tests/patch/patch_files.h"

#include <filesystem>
#include <thread>

using namespace patch_test;
using kova_test::eventually;
using kova_test::read_file;
using kova_test::write_file;

namespace fs = std::filesystem;

namespace {

class PatchInstall : public Installation {
protected:
    void SetUp() override {
        if (kova_test::under_wine())
            GTEST_SKIP() << "Wine reports no volume for a drive linked while it runs";
        Installation::SetUp();
        patch_state = PatchInstallState{};
        patch_menu_rebuild = patch_table_rebuild = false;
        fxi_conn_init();
    }
    void TearDown() override {
        if (kova_test::under_wine()) return;
        stop_services();
        fxi_conn_term();
        Installation::TearDown();
    }

    // A release tree with its marker, settings and an installed copy of abc\a.dat.
    void tree(const std::string &dir, int release = 21, const char *installed = "old") {
        write_file(host(dir + "/kova.kvk"), "");
        write_file(host(dir + "/kova.ini"),
                   "[system]\r\nrelease=" + std::to_string(release) + "\r\nusers=8\r\n");
        if (installed) {
            write_file(host(dir + "/abc/a.dat"), installed);
            set_mtime(host(dir + "/abc/a.dat"), 2025, 1, 1, 12, 0, 0);
        }
    }
    // The patch: \kova2000\abc\a.dat from the release builder's drive D:.
    std::string patch(const char *content = "new") {
        std::string dev = prefix_.map_drive('d');
        write_file(dev + "/kova2000/abc/a.dat", content);
        set_mtime(dev + "/kova2000/abc/a.dat", 2026, 6, 1, 12, 0, 0);
        fs::create_directories(host("p"));
        fs::remove(host("p/fix.kvz"));
        EXPECT_TRUE(
            patch_add_file("S:\\p\\fix.kvz", "D:\\kova2000\\abc\\a.dat", {.direct_path = true}));
        return "S:\\p\\fix.kvz";
    }
    bool install(const std::string &patch, const char *data_home = "S:\\KOVABrisel\\") {
        fxi_set_data_home(data_home);
        fxi_load_installation();
        return patch_install(patch.c_str());
    }

    // Registers a manager as a service on the data home and starts it.
    void service(const char *name, const char *program, const std::string &home,
                 bool disabled = false, bool run = true) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(scm, nullptr);
        std::string image = kova_test::program(program) + " " + home;
        SC_HANDLE svc = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, 1,
                                       image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(svc, nullptr);
        if (run) {
            EXPECT_TRUE(StartServiceA(svc, 0, nullptr));
        }
        // Disabled after it started: running now, but not to be started again.
        if (disabled)
            ChangeServiceConfigA(svc, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        services_.push_back(name);
        CloseServiceHandle(svc);
        CloseServiceHandle(scm);
    }
    bool running(const char *name) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
        SERVICE_STATUS status{};
        bool up =
            svc && QueryServiceStatus(svc, &status) && status.dwCurrentState == SERVICE_RUNNING;
        if (svc) CloseServiceHandle(svc);
        CloseServiceHandle(scm);
        return up;
    }
    void stop_services() {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        for (const std::string &name : services_) {
            SC_HANDLE svc = OpenServiceA(scm, name.c_str(), SERVICE_ALL_ACCESS);
            SERVICE_STATUS status{};
            if (svc) ControlService(svc, SERVICE_CONTROL_STOP, &status);
            if (svc)
                eventually([&] {
                    return QueryServiceStatus(svc, &status) &&
                           status.dwCurrentState == SERVICE_STOPPED;
                });
            if (svc) CloseServiceHandle(svc);
        }
        if (scm) CloseServiceHandle(scm);
    }
    bool published(const std::string &home_dir, const char *file) {
        return eventually([&] {
            return fs::file_size(host(home_dir + "/" + file), ec_) == DXI_CONN_ADDRESS_SIZE;
        });
    }
    std::string log(const std::string &dir) { return read_file(host(dir + "/setup.log")); }

    std::vector<std::string> services_; // stopped again at the end, whoever started them
    std::error_code ec_;
};

TEST_F(PatchInstall, TreesNewestFirstUntilOneIsMissing) {
    tree("KOVABrisel");
    tree("kova2006");
    tree("kova2000");
    fs::create_directories(host("kova7"));
    // The stand-in setup programs are shell scripts, which a Windows host cannot run.
    const bool setups = !kova_test::on_windows();
    if (setups) {
        write_file(host("KOVABrisel/v14setup.exe"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
        write_file(host("kova2006/v10setup.exe"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n");
        for (const char *setup : {"KOVABrisel/v14setup.exe", "kova2006/v10setup.exe"})
            fs::permissions(host(setup), fs::perms::owner_exec, fs::perm_options::add);
    }

    ASSERT_TRUE(install(patch()));
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "new");
    EXPECT_EQ(read_file(host("kova2000/abc/a.dat")), "old") << "the walk stops at \\kova2004\\";
    EXPECT_EQ(read_patch(host("KOVABrisel/unpatch/0.kvz")).entries.size(), 1u);
    EXPECT_EQ(read_patch(host("kova2006/unpatch/0.kvz")).entries.size(), 1u);
    EXPECT_EQ(fs::exists(host("KOVABrisel/ran")), setups);
    EXPECT_FALSE(fs::exists(host("kova2006/ran"))) << "only the first tree runs its setup";
    EXPECT_NE(log("KOVABrisel").find("Patch fix.kvz created on "), std::string::npos);
    EXPECT_NE(log("kova2006").find("Patch fix.kvz created on "), std::string::npos);
}

TEST_F(PatchInstall, AnInstallationInKova7PatchesKova2000) {
    tree("kova2000");
    fs::create_directories(host("kova7"));
    write_file(host("kova7/kova.ini"), "[system]\r\nrelease=10\r\n");
    ASSERT_TRUE(install(patch(), "S:\\kova7\\"));
    EXPECT_EQ(read_file(host("kova2000/abc/a.dat")), "new");
    EXPECT_EQ(fxi_program_dir(), "S:\\kova2000\\");
}

TEST_F(PatchInstall, UndoPatchesTakeTheSmallestFreeNumberAndPutEverythingBack) {
    tree("kova2006");
    write_file(host("kova2006/unpatch/0.kvz"), "");
    write_file(host("kova2006/unpatch/1.kvz"), "");
    ASSERT_TRUE(install(patch(), "S:\\kova2006\\"));
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "new");
    ASSERT_TRUE(read_patch(host("kova2006/unpatch/2.kvz")).sound);

    fs::remove(host("kova2006/unpatch/0.kvz"));
    ASSERT_TRUE(install("S:\\kova2006\\unpatch\\2.kvz", "S:\\kova2006\\"));
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "old");
    EXPECT_TRUE(read_patch(host("kova2006/unpatch/0.kvz")).sound) << "0.kvz is free again";
}

TEST_F(PatchInstall, LaterRevisionInTheSecondTreeKeepsTheFirst) {
    tree("KOVABrisel");
    tree("kova2006");
    set_mtime(host("kova2006/abc/a.dat"), 2030, 1, 1, 12, 0, 0);
    EXPECT_FALSE(install(patch()));
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "old");
    EXPECT_NE(log("kova2006").find("is a later revision"), std::string::npos) << log("kova2006");
}

TEST_F(PatchInstall, DamagedPatchInstallsNothing) {
    tree("KOVABrisel");
    write_file(host("p/bad.kvz"), "not a patch at all, but long enough to be read as a header" +
                                      std::string(800, 'x'));
    EXPECT_FALSE(install("S:\\p\\bad.kvz"));
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
    EXPECT_NE(log("KOVABrisel").find("Invalid Patch File on server "), std::string::npos);
}

// With the managers running as services on the installation's data home.
class PatchInstallManagers : public PatchInstall {
protected:
    void SetUp() override {
        // Windows registers services machine-wide and Wine's manager keeps them after a test
        // ends; scripts/test-windows-install runs the managers as services end to end instead.
        if (kova_test::on_windows()) GTEST_SKIP() << "services are machine-wide on Windows";
        PatchInstall::SetUp();
        tree("KOVABrisel", 22);
        home_ = host("KOVABrisel");
    }
    void TearDown() override {
        if (!kova_test::on_windows()) PatchInstall::TearDown();
    }
    // `queue_manager_options` follow the queue manager's data home on its command line.
    void start_managers(bool fm_disabled = false, const std::string &queue_manager_options = "") {
        service("KOVAQM", "kvqm", "S:\\KOVABrisel" + queue_manager_options);
        ASSERT_TRUE(published("KOVABrisel", "kova03B3.adr"));
        service("KOVAFM", "kvfm", "S:\\KOVABrisel", fm_disabled);
        ASSERT_TRUE(published("KOVABrisel", "kova03B4.adr"));
        // The background executor is a client of the queue manager: ready once its command
        // queue exists.
        service("BRUN32", "kvbrun", "S:\\KOVABrisel");
        fxi_set_data_home("S:\\KOVABrisel\\");
        ASSERT_TRUE(eventually([] {
            CXI_QUEUE_SYSTEM probe;
            TXI_QUEUE q;
            bool ready = probe.connect() == 0 && probe.open("BRUNC", 0, &q) == 0;
            probe.disconnect();
            return ready;
        }));
    }
    // A signed-on user in slot 3 running a function with activity letter `activity`.
    void sign_on(char activity) {
        fxi_set_data_home("S:\\KOVABrisel\\");
        fxi_load_installation();
        // The attachment makes the user table and the users file; both are given back.
        ASSERT_TRUE(fxk_user_attach());
        ASSERT_EQ(fxk_user_openfile(), 1);
        fxk_user_closfile(0);
        fxk_user_writeqmsg();
        fxk_user_detach();
        CXI_QUEUE_SYSTEM user;
        ASSERT_EQ(0, user.connect());
        TXI_QUEUE q;
        ASSERT_EQ(0, user.open("KOVAuser", 8, &q));
        std::vector<uint8_t> table(q.size);
        ASSERT_EQ(0, user.read(&q, table.data(), 0));
        const uint8_t occupied[8] = {1, 0x34, ' ', ' ', ' ', 0x12, 'R', 0};
        std::memcpy(table.data() + 8 + 8 * 3, occupied, 8);
        ASSERT_EQ(0, user.write(&q, table.data(), 0));
        user.disconnect();
        std::string users = read_file(home_ + "/kovausrs");
        ASSERT_GE(users.size(), 64u * 4);
        users[64 * 3 + 57] = activity;
        write_file(home_ + "/kovausrs", users);
    }
    std::string home_;
};

TEST_F(PatchInstallManagers, StopsTheManagersAndStartsThemAgain) {
    tree("kova2006", 22); // its restart finds the services running already: no message
    start_managers();
    sign_on('R'); // unattended: no question, the users' functions are ended
    ASSERT_TRUE(install(patch())) << log("KOVABrisel");
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "new");
    EXPECT_TRUE(patch_state.restart);
    EXPECT_EQ(patch_state.service_message, nullptr);
    EXPECT_TRUE(eventually([&] { return running("KOVAQM") && running("KOVAFM"); }));
    EXPECT_TRUE(published("KOVABrisel", "kova03B3.adr"));
}

TEST_F(PatchInstallManagers, AManagerSlowToEndIsStartedAgainOnceItHasEnded) {
    // It takes a second to end after it accepted the stop. Started again while it was still
    // ending, it would count as running and then be gone, leaving the suite without it.
    constexpr DWORD linger_ms = 1000;
    write_file(home_ + "/kova.ini", "[system]\r\nrelease=21\r\n"); // no user pass
    start_managers(false, " --linger " + std::to_string(linger_ms));
    ASSERT_TRUE(install(patch())) << log("KOVABrisel");
    EXPECT_EQ(patch_state.service_message, nullptr);
    Sleep(linger_ms + 500); // the instance stopped has ended by now, whatever happened
    EXPECT_TRUE(running("KOVAQM"));
    EXPECT_TRUE(eventually([&] { return published("KOVABrisel", "kova03B3.adr"); }));
}

TEST_F(PatchInstallManagers, AUserInACorruptibleFunctionStopsTheInstallation) {
    start_managers();
    sign_on('V');
    EXPECT_FALSE(install(patch()));
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
    EXPECT_NE(log("KOVABrisel").find("The KOVA system is currently in a corruptible state!"),
              std::string::npos)
        << log("KOVABrisel");
    EXPECT_TRUE(running("KOVAQM")) << "nothing was stopped";
}

TEST_F(PatchInstallManagers, AQueueManagerThatKeepsRefusingFailsTheTree) {
    write_file(home_ + "/kova.ini", "[system]\r\nrelease=21\r\n"); // no user pass
    start_managers();
    fxi_set_data_home("S:\\KOVABrisel\\");
    CXI_CONN client; // another client attached: a plain stop is refused
    uint16_t confirmed = 0;
    ASSERT_EQ(0, client.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                                &confirmed));
    EXPECT_FALSE(install(patch()));
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
    EXPECT_NE(log("KOVABrisel").find("Failed to shut down KOVA Queue Manager service"),
              std::string::npos);
    client.disconnect();

    // A client that goes away after a moment: the third or so request is accepted.
    ASSERT_EQ(0, client.connect(nullptr, DXI_CONN_QUEUE_MANAGER, 0, DXI_CONN_QUEUE_SIZE, nullptr,
                                &confirmed));
    std::thread leaving([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        client.disconnect();
    });
    EXPECT_TRUE(install(patch()));
    leaving.join();
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "new");
}

TEST_F(PatchInstallManagers, DisabledServicesStayDownAndFailedStartsAreNamed) {
    write_file(home_ + "/kova.ini", "[system]\r\nrelease=21\r\n");
    start_managers(true);
    ASSERT_TRUE(install(patch()));
    EXPECT_TRUE(eventually([&] { return running("KOVAQM"); }));
    EXPECT_FALSE(running("KOVAFM")) << "disabled: not started again";

    // Both fail to start: the file manager's text is the one left.
    stop_services();
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    for (const char *name : {"KOVAQM", "KOVAFM"}) {
        SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
        std::string missing = kova_test::program("no-such-manager");
        EXPECT_TRUE(ChangeServiceConfigA(svc, SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                                         SERVICE_NO_CHANGE, missing.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr));
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    patch_state.restart = true;
    patch_restart_services();
    EXPECT_STREQ(patch_state.service_message,
                 "The KOVA File Manager Service was stopped, it must be restarted on the server.");
}

} // namespace
