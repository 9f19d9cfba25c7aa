// The service control manager over the registry's service keys: configuration, start, status
// seen from other processes, stop, and the errors of services that cannot run.
#include "platform/host.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A prefix with a service program that notes its process and arguments and then sleeps; the
// fixture kills whatever it started if a test ends early.
struct Services {
    kova_test::TempPrefix prefix;
    std::string dir = prefix.path() + "/bin";
    std::string program = dir + "/kova qm";
    std::string note = dir + "/started.txt";
    Services() {
        kova_test::write_file(program,
                              "#!/bin/sh\necho \"$$ $*\" > \"" + note + "\"\nexec sleep 30\n");
        chmod(program.c_str(), 0755);
    }
    ~Services() {
        std::string text = kova_test::read_file(note);
        if (!text.empty()) kill(-std::stoi(text), SIGKILL);
    }
    DWORD state(const char *name) const {
        kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        kova_service_handle svc(OpenServiceA(scm.get(), name, SERVICE_QUERY_STATUS));
        SERVICE_STATUS status{};
        return svc.get() && QueryServiceStatus(svc.get(), &status) ? status.dwCurrentState : 0;
    }
    bool wait_state(const char *name, DWORD wanted) const {
        for (int i = 0; i < 500; ++i) {
            if (state(name) == wanted) return true;
            Sleep(10);
        }
        return false;
    }
};

SC_HANDLE make(SC_HANDLE scm, const char *name, const std::string &image, DWORD start) {
    return CreateServiceA(scm, name, "KOVA Queue Manager", SERVICE_ALL_ACCESS,
                          SERVICE_WIN32_OWN_PROCESS, start, SERVICE_ERROR_NORMAL, image.c_str(),
                          nullptr, nullptr, nullptr, nullptr, nullptr);
}

} // namespace

TEST(Services, ConfigurationComesFromTheServiceKey) {
    Services s;
    kova_service_handle scm(OpenSCManagerA(nullptr, "ServicesActive", SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(scm.get(), nullptr);
    kova_service_handle created(
        make(scm.get(), "KOVAQM", "\"" + s.program + "\" /srv/kova", SERVICE_AUTO_START));
    ASSERT_NE(created.get(), nullptr);
    EXPECT_EQ(make(scm.get(), "kovaqm", s.program, SERVICE_AUTO_START), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));

    kova_service_handle svc(
        OpenServiceA(scm.get(), "kovaQM", SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG));
    ASSERT_NE(svc.get(), nullptr);
    DWORD needed = 0;
    EXPECT_FALSE(QueryServiceConfigA(svc.get(), nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
    std::vector<unsigned char> block(needed);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(block.data());
    ASSERT_TRUE(QueryServiceConfigA(svc.get(), config, needed, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_AUTO_START);
    EXPECT_EQ(config->dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(std::string(config->lpBinaryPathName), "\"" + s.program + "\" /srv/kova");
    EXPECT_STREQ(config->lpDisplayName, "KOVA Queue Manager");
    EXPECT_STREQ(config->lpServiceStartName, "LocalSystem");

    ASSERT_TRUE(ChangeServiceConfigA(svc.get(), SERVICE_NO_CHANGE, SERVICE_DISABLED,
                                     SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr));
    ASSERT_TRUE(QueryServiceConfigA(svc.get(), config, needed, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_DISABLED);

    // A service is its key: one written by hand (as an installer would) is a service too.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\BRUN32", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD demand = SERVICE_DEMAND_START;
    RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<BYTE *>(&demand), 4);
    RegCloseKey(key);
    kova_service_handle brun(OpenServiceA(scm.get(), "BRUN32", SERVICE_QUERY_CONFIG));
    ASSERT_NE(brun.get(), nullptr);
    ASSERT_TRUE(QueryServiceConfigA(brun.get(), config, needed, &needed));
    EXPECT_EQ(config->dwStartType, SERVICE_DEMAND_START);
    EXPECT_STREQ(config->lpDisplayName, "BRUN32");

    // Errors: no such service, a handle without the right, another machine or database.
    EXPECT_EQ(OpenServiceA(scm.get(), "KOVAFM", SERVICE_QUERY_CONFIG), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    kova_service_handle status_only(OpenServiceA(scm.get(), "KOVAQM", SERVICE_QUERY_STATUS));
    EXPECT_FALSE(QueryServiceConfigA(status_only.get(), config, needed, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(OpenSCManagerA("\\\\ELSEWHERE-HOST", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(OpenSCManagerA(nullptr, "ServicesFailed", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
    char own[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof own;
    ASSERT_TRUE(GetComputerNameA(own, &size));
    kova_service_handle local(
        OpenSCManagerA((std::string("\\\\") + own).c_str(), nullptr, SC_MANAGER_CONNECT));
    EXPECT_NE(local.get(), nullptr);

    kova_service_handle remove(OpenServiceA(scm.get(), "KOVAQM", DELETE));
    ASSERT_TRUE(DeleteService(remove.get()));
    EXPECT_EQ(OpenServiceA(scm.get(), "KOVAQM", SERVICE_QUERY_CONFIG), nullptr);
}

// A service started by one process runs detached: it outlives its starter, every process of
// the prefix sees it running, and a stop from yet another handle ends it.
TEST(Services, StartedServicesRunUntilStopped) {
    Services s;
    {
        kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        kova_service_handle svc(
            make(scm.get(), "KOVAQM", "\"" + s.program + "\" /srv/kova", SERVICE_AUTO_START));
        ASSERT_NE(svc.get(), nullptr);
    }
    EXPECT_EQ(s.state("KOVAQM"), SERVICE_STOPPED);

    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = OpenServiceA(scm, "KOVAQM", SERVICE_START);
        const char *extra[] = {"-x"};
        _exit(svc && StartServiceA(svc, 1, extra) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(starter, &status, 0), starter);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    for (int i = 0; i < 500 && kova_test::read_file(s.note).empty(); ++i) Sleep(10);
    std::string note = kova_test::read_file(s.note);
    EXPECT_NE(note.find(" /srv/kova -x"), std::string::npos) << note;
    EXPECT_EQ(s.state("KOVAQM"), SERVICE_RUNNING);

    kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    kova_service_handle svc(
        OpenServiceA(scm.get(), "kovaqm", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    EXPECT_FALSE(StartServiceA(svc.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

    SERVICE_STATUS st{};
    ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(st.dwCurrentState == SERVICE_STOP_PENDING || st.dwCurrentState == SERVICE_STOPPED);
    EXPECT_TRUE(s.wait_state("KOVAQM", SERVICE_STOPPED));
    pid_t pid = std::stoi(note);
    // Gone, or a zombie its new parent has yet to collect (its starter has ended).
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        std::string stat = kova_test::read_file("/proc/" + std::to_string(pid) + "/stat");
        gone = stat.empty() || stat.find(") Z") != std::string::npos;
        Sleep(10);
    }
    EXPECT_TRUE(gone);
    EXPECT_FALSE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    // Stopped, it starts again.
    ASSERT_TRUE(StartServiceA(svc.get(), 0, nullptr));
    EXPECT_EQ(s.state("KOVAQM"), SERVICE_RUNNING);
    ASSERT_TRUE(ControlService(svc.get(), SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(s.wait_state("KOVAQM", SERVICE_STOPPED));
}

TEST(Services, ServicesThatCannotStart) {
    Services s;
    kova_test::write_file(s.dir + "/quits", "#!/bin/sh\nexit 3\n");
    chmod((s.dir + "/quits").c_str(), 0755);
    kova_service_handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    struct Case {
        const char *name;
        std::string image;
        DWORD start, error;
    } cases[] = {
        {"KOVAFM", s.program, SERVICE_DISABLED, ERROR_SERVICE_DISABLED},
        {"KOVAFM32", s.dir + "/absent", SERVICE_DEMAND_START, ERROR_FILE_NOT_FOUND},
        {"BRUN", s.dir + "/quits", SERVICE_AUTO_START, ERROR_PROCESS_ABORTED},
    };
    for (const auto &c : cases) {
        kova_service_handle svc(make(scm.get(), c.name, c.image, c.start));
        ASSERT_NE(svc.get(), nullptr);
        EXPECT_FALSE(StartServiceA(svc.get(), 0, nullptr)) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        EXPECT_EQ(s.state(c.name), SERVICE_STOPPED) << c.name;
    }
    kova_service_handle query_only(OpenServiceA(scm.get(), "BRUN", SERVICE_QUERY_CONFIG));
    EXPECT_FALSE(StartServiceA(query_only.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}
