// Events and mutexes: reset modes, names and their lifetime, rights, and objects shared with
// other processes (an event a child holds, a mutex its owner abandoned).
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct Handle {
    HANDLE h;
    explicit Handle(HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h) CloseHandle(h);
    }
};

// Waits (up to five seconds) until another process has made the named event.
HANDLE open_when_made(const char *name, DWORD access) {
    for (int i = 0; i < 500; ++i) {
        if (HANDLE h = OpenEventA(access, FALSE, name)) return h;
        Sleep(10);
    }
    return nullptr;
}

int child_status(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

TEST(Objects, EventResetModes) {
    kova_test::TempPrefix prefix;
    for (const char *name : {static_cast<const char *>(nullptr), "Local\\reset-modes"}) {
        Handle manual(CreateEventA(nullptr, TRUE, TRUE, name));
        ASSERT_NE(manual.h, nullptr);
        EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(manual.h, 0), WAIT_OBJECT_0); // stays set
        ASSERT_TRUE(ResetEvent(manual.h));
        EXPECT_EQ(WaitForSingleObject(manual.h, 20), static_cast<DWORD>(WAIT_TIMEOUT));

        std::string auto_name = name ? std::string(name) + "-auto" : std::string();
        Handle automatic(CreateEventA(nullptr, FALSE, FALSE, name ? auto_name.c_str() : nullptr));
        ASSERT_NE(automatic.h, nullptr);
        EXPECT_EQ(WaitForSingleObject(automatic.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        ASSERT_TRUE(SetEvent(automatic.h));
        EXPECT_EQ(WaitForSingleObject(automatic.h, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(automatic.h, 0),
                  static_cast<DWORD>(WAIT_TIMEOUT)); // consumed
    }

    // A waiting thread wakes when another thread sets the event.
    Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    DWORD woke = 0;
    std::thread waiter([&] { woke = WaitForSingleObject(event.h, 10000); });
    Sleep(20);
    SetEvent(event.h);
    waiter.join();
    EXPECT_EQ(woke, WAIT_OBJECT_0);
}

TEST(Objects, NamesKindsRightsAndLifetime) {
    kova_test::TempPrefix prefix;
    const char *name = "Global\\LXKSYS_SHUTDOWN_PENDING";
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    Handle first(CreateEventA(nullptr, TRUE, FALSE, name));
    ASSERT_NE(first.h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    Handle second(CreateEventA(nullptr, FALSE, TRUE, name)); // opens; its own state is ignored
    ASSERT_NE(second.h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(second.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Local\ is its own namespace; names keep their case; a mutex cannot take an event's name.
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Local\\LXKSYS_SHUTDOWN_PENDING"), nullptr);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "Global\\lxksys_shutdown_pending"), nullptr);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "Global\\a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // A handle has the rights it was opened with.
    Handle modify(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
    ASSERT_NE(modify.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(modify.h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetEvent(modify.h));
    EXPECT_EQ(WaitForSingleObject(first.h, 0), WAIT_OBJECT_0);
    Handle waiter(OpenEventA(SYNCHRONIZE, FALSE, name));
    EXPECT_FALSE(SetEvent(waiter.h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // The object lives while any handle does; afterwards the name is free and starts afresh.
    for (Handle *h : {&first, &second, &modify, &waiter}) {
        EXPECT_EQ(kova_wait_until_unheld(name, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        CloseHandle(h->h);
        h->h = nullptr;
    }
    EXPECT_EQ(kova_wait_until_unheld(name, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name), nullptr);
    Handle fresh(CreateEventA(nullptr, TRUE, FALSE, name));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(WaitForSingleObject(fresh.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The shutdown handshake: a client process holds the event and ends when it is set; the
// setter then waits until no process holds the event any more.
TEST(Objects, EventHeldByAChildProcess) {
    kova_test::TempPrefix prefix;
    const char *name = "Global\\LXKSYS_SHUTDOWN_PENDING";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HANDLE h = CreateEventA(nullptr, TRUE, FALSE, name);
        DWORD r = h ? WaitForSingleObject(h, 20000) : WAIT_FAILED;
        Sleep(50); // a client tidies up before it lets go
        _exit(r == WAIT_OBJECT_0 ? 0 : 1);
    }
    HANDLE h = open_when_made(name, EVENT_MODIFY_STATE);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(SetEvent(h));
    CloseHandle(h);
    EXPECT_EQ(kova_wait_until_unheld(name, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(OpenEventA(EVENT_MODIFY_STATE, FALSE, name), nullptr);
    EXPECT_EQ(child_status(pid), 0);

    // A holder that is killed lets go as well: its file no longer counts as an object.
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CreateEventA(nullptr, TRUE, FALSE, name);
        pause();
        _exit(0);
    }
    h = open_when_made(name, SYNCHRONIZE);
    ASSERT_NE(h, nullptr);
    CloseHandle(h);
    kill(pid, SIGKILL);
    EXPECT_EQ(child_status(pid), 128 + SIGKILL);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, name), nullptr);
}

TEST(Objects, MutexOwnershipAndAbandonment) {
    kova_test::TempPrefix prefix;
    Handle mutex(CreateMutexA(nullptr, TRUE, "Local\\kova-mutex"));
    ASSERT_NE(mutex.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex.h, 0), WAIT_OBJECT_0); // the owner may take it again
    DWORD other = 0;
    std::thread([&] { other = WaitForSingleObject(mutex.h, 20); }).join();
    EXPECT_EQ(other, static_cast<DWORD>(WAIT_TIMEOUT));
    BOOL released_by_other = TRUE;
    std::thread([&] { released_by_other = ReleaseMutex(mutex.h); }).join();
    EXPECT_FALSE(released_by_other);
    EXPECT_TRUE(ReleaseMutex(mutex.h));
    EXPECT_TRUE(ReleaseMutex(mutex.h));
    EXPECT_FALSE(ReleaseMutex(mutex.h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    std::thread([&] {
        other = WaitForSingleObject(mutex.h, 1000);
        ReleaseMutex(mutex.h);
    }).join();
    EXPECT_EQ(other, WAIT_OBJECT_0);

    // A process that ends while it owns a mutex abandons it to the next waiter.
    int made[2], opened[2];
    ASSERT_EQ(pipe(made), 0);
    ASSERT_EQ(pipe(opened), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HANDLE h = CreateMutexA(nullptr, TRUE, "Global\\abandoned");
        char c = h ? 'y' : 'n';
        if (write(made[1], &c, 1) != 1 || read(opened[0], &c, 1) != 1) _exit(2);
        _exit(0); // without ReleaseMutex
    }
    char c = 0;
    ASSERT_EQ(read(made[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    Handle shared(OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "Global\\abandoned"));
    ASSERT_NE(shared.h, nullptr);
    EXPECT_EQ(WaitForSingleObject(shared.h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(write(opened[1], "x", 1), 1);
    EXPECT_EQ(child_status(pid), 0);
    EXPECT_EQ(WaitForSingleObject(shared.h, 1000), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_TRUE(ReleaseMutex(shared.h));
    for (int fd : {made[0], made[1], opened[0], opened[1]}) close(fd);
}

TEST(Objects, FileMappingSharedWithAChildAndItsLifetime) {
    kova_test::TempPrefix prefix;
    const char *name = "Local\\kova-mapping";
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, name),
              nullptr); // a paging-file mapping needs a size
    Handle event(CreateEventA(nullptr, FALSE, FALSE, "Local\\kova-mapping-written"));
    ASSERT_NE(event.h, nullptr);

    // A child writes through its own view; the parent's view sees the bytes, and the view alone
    // keeps the mapping alive once the child's handle is closed.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 5000, name);
        auto *view =
            m ? static_cast<char *>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0)) : nullptr;
        if (!view) _exit(1);
        CloseHandle(m);
        std::strcpy(view + 4990, "child");
        HANDLE written = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Local\\kova-mapping-written");
        SetEvent(written);
        pause();
        _exit(0);
    }
    ASSERT_EQ(WaitForSingleObject(event.h, 10000), WAIT_OBJECT_0);
    Handle opened(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
    ASSERT_NE(opened.h, nullptr);
    auto *view = static_cast<char *>(MapViewOfFile(opened.h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(view + 4990, "child");
    // The same name for another kind of object is refused, and so is a view past the end.
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(MapViewOfFile(opened.h, FILE_MAP_ALL_ACCESS, 0, 0, 5001), nullptr);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(UnmapViewOfFile(view));
    CloseHandle(opened.h);
    opened.h = nullptr;

    // Killed, the child lets go: its mapping is stale, absent for an open, and made afresh
    // (zeroed) by a create.
    kill(pid, SIGKILL);
    EXPECT_EQ(child_status(pid), 128 + SIGKILL);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name), nullptr);
    Handle fresh(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 5000, name));
    ASSERT_NE(fresh.h, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    view = static_cast<char *>(MapViewOfFile(fresh.h, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[4990], 0);
    EXPECT_TRUE(UnmapViewOfFile(view));
}
