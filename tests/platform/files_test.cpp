// The POSIX file surface against real files in a temporary prefix: drives and case, host and
// DOS paths, dispositions, sharing between handles and processes, attributes, times, moves,
// directories, volumes and names.
#include "platform/host.h"
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;
using kova_test::read_file;
using kova_test::TempDir;
using kova_test::TempPrefix;
using kova_test::write_file;

namespace {

HANDLE open_file(const std::string &name, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// The Windows error of a failed open, or 0 when it succeeded (the handle is then closed).
DWORD open_error(const std::string &name, DWORD access, DWORD share, DWORD disposition) {
    HANDLE h = open_file(name, access, share, disposition);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return 0;
}

// Restores the working directory a test changes.
struct KeepCwd {
    fs::path saved = fs::current_path();
    ~KeepCwd() { fs::current_path(saved); }
};

bool xattrs_supported(const std::string &dir) {
    std::string probe = dir + "/.xattr-probe";
    write_file(probe, "");
    bool ok = setxattr(probe.c_str(), "user.kova.probe", "1", 1, 0) == 0;
    unlink(probe.c_str());
    return ok;
}

TEST(PlatformFiles, CaseInsensitiveThroughDriveLink) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/sub/File.txt", "hello");
    HANDLE h = open_file("Q:\\SUB\\file.TXT", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    char buf[16] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(std::string(buf, got), "hello");
    CloseHandle(h);

    // A new name is created as written, in the folder found without regard to case; forward
    // slashes separate as backslashes do.
    h = open_file("q:/Sub\\NewName.Dat", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &put, nullptr));
    CloseHandle(h);
    EXPECT_EQ(read_file(q + "/sub/NewName.Dat"), "abc");
    EXPECT_FALSE(fs::exists(q + "/Sub"));
}

TEST(PlatformFiles, PrefixCreatedOnFirstUse) {
    TempPrefix prefix;
    std::string devices = prefix.path() + "/dosdevices";
    EXPECT_EQ(kova_prefix(), prefix.path());
    EXPECT_EQ(fs::read_symlink(devices + "/z:"), "/");
    EXPECT_TRUE(fs::is_directory(devices + "/c:"));
    EXPECT_TRUE(fs::equivalent(devices + "/c:", prefix.path() + "/drive_c"));

    // An existing c: is left alone.
    TempPrefix other;
    TempDir programs;
    other.map_drive('c', programs.path());
    kova_prefix();
    EXPECT_EQ(fs::read_symlink(other.path() + "/dosdevices/c:"), programs.path());
    EXPECT_FALSE(fs::exists(other.path() + "/drive_c"));

    // A relative prefix is taken from the working directory.
    KeepCwd keep;
    TempDir work;
    fs::current_path(work.path());
    setenv("KOVA_PREFIX", "rel/pfx", 1);
    EXPECT_EQ(kova_prefix(), fs::canonical(work.path()).string() + "/rel/pfx");
    EXPECT_TRUE(fs::exists(work.path() + "/rel/pfx/dosdevices/z:"));
}

TEST(PlatformFiles, HostAndDosPaths) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    std::string r = prefix.map_drive('r', q + "/deep");
    write_file(q + "/Sub/Société.dat", "x");

    struct Case {
        std::string host, dos;
    } cases[] = {
        {q + "/Sub/x.dat", "Q:\\Sub\\x.dat"},
        {q, "Q:\\"},
        {q + "/deep/y", "R:\\y"}, // the longest target wins
        {q + "/Sub/Société.dat", "Q:\\Sub\\Soci\xE9t\xE9.dat"},
        {"sub/x.dat", "sub\\x.dat"},
        {"/", "Z:\\"},
    };
    for (const auto &c : cases) EXPECT_EQ(kova_dos_from_host(c.host), c.dos) << c.host;

    EXPECT_EQ(kova_host_from_dos("q:\\SUB\\SOCI\xC9T\xC9.DAT"), q + "/Sub/SOCIÉTÉ.DAT")
        << "case folds only ASCII";
    EXPECT_EQ(kova_host_from_dos("Q:\\SUB\\Soci\xE9t\xE9.DAT"), q + "/Sub/Société.dat");
    EXPECT_EQ(kova_host_from_dos("Q:\\sub\\New.txt"), q + "/Sub/New.txt");
    EXPECT_EQ(kova_host_from_dos("Q:\\sub\\missing\\New.txt"), "");
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(kova_host_from_dos("K:\\x"), "");
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(kova_host_from_dos("Q:\\a<b"), "");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

TEST(PlatformFiles, DotDotNeverLeavesTheDriveTarget) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    fs::create_directories(q + "/etc");
    fs::create_directories(q + "/sub");
    for (const char *dos : {"Q:\\..\\..\\..\\etc\\passwd", "Q:\\sub\\..\\..\\etc\\passwd",
                            "\\\\?\\Q:\\..\\etc\\passwd"})
        EXPECT_EQ(kova_host_from_dos(dos), q + "/etc/passwd") << dos;
    EXPECT_EQ(open_error("Q:\\..\\etc\\passwd", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              ERROR_FILE_NOT_FOUND);
    // The long-path prefix takes only absolute forms; the rest is never cwd-relative.
    EXPECT_EQ(kova_host_from_dos("\\\\?\\UNC\\nosrv\\share\\x"), "");
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
    EXPECT_EQ(kova_host_from_dos("\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x"), "");
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(PlatformFiles, Dispositions) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/old.txt", "12345");
    struct Case {
        const char *name;
        DWORD disposition, error;
        const char *after; // contents afterwards (null: no file)
    } cases[] = {
        {"Q:\\old.txt", CREATE_NEW, ERROR_FILE_EXISTS, "12345"},
        {"Q:\\old.txt", OPEN_EXISTING, 0, "12345"},
        {"Q:\\old.txt", OPEN_ALWAYS, ERROR_ALREADY_EXISTS, "12345"},
        {"Q:\\gone.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
        {"Q:\\gone.txt", TRUNCATE_EXISTING, ERROR_FILE_NOT_FOUND, nullptr},
        {"Q:\\nodir\\x.txt", CREATE_NEW, ERROR_PATH_NOT_FOUND, nullptr},
        {"K:\\x.txt", CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, nullptr},
        {"Q:\\new1.txt", OPEN_ALWAYS, 0, ""},
        {"Q:\\new2.txt", CREATE_NEW, 0, ""},
        {"Q:\\old.txt", CREATE_ALWAYS, ERROR_ALREADY_EXISTS, ""},
    };
    for (const auto &c : cases) {
        HANDLE h = open_file(c.name, GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        DWORD error = GetLastError();
        bool opened = h != INVALID_HANDLE_VALUE;
        if (opened) CloseHandle(h);
        EXPECT_EQ(opened, c.error == 0 || c.error == ERROR_ALREADY_EXISTS) << c.name;
        EXPECT_EQ(error, c.error) << c.name << " " << c.disposition;
        std::string host = kova_host_from_dos(c.name);
        if (c.after)
            EXPECT_EQ(read_file(host), c.after) << c.name;
        else
            EXPECT_FALSE(!host.empty() && fs::exists(host)) << c.name;
    }
    write_file(q + "/t.txt", "abc");
    EXPECT_EQ(open_error("Q:\\t.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING), 0u);
    EXPECT_EQ(read_file(q + "/t.txt"), "");
    fs::create_directory(q + "/dir");
    EXPECT_EQ(open_error("Q:\\dir", GENERIC_READ, 0, OPEN_EXISTING), ERROR_ACCESS_DENIED);
}

TEST(PlatformFiles, ReadWriteSeekSizeAndEnd) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    HANDLE h = open_file("Q:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    LARGE_INTEGER move{}, at{};
    move.QuadPart = -4;
    ASSERT_TRUE(SetFilePointerEx(h, move, &at, FILE_END));
    EXPECT_EQ(at.QuadPart, 6);
    char buf[8] = {};
    ASSERT_TRUE(ReadFile(h, buf, 8, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "6789");
    ASSERT_TRUE(ReadFile(h, buf, 8, &n, nullptr)); // at the end: success with nothing
    EXPECT_EQ(n, 0u);
    move.QuadPart = -11;
    EXPECT_FALSE(SetFilePointerEx(h, move, nullptr, FILE_CURRENT));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    move.QuadPart = 3;
    ASSERT_TRUE(SetFilePointerEx(h, move, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 3);
    EXPECT_TRUE(kova_file_write_behind(h));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
    EXPECT_EQ(read_file(q + "/data.bin"), "012");

    // Access is what was asked for, whatever the host descriptor allows.
    h = open_file("Q:\\data.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(kova_file_write_behind(INVALID_HANDLE_VALUE));
}

TEST(PlatformFiles, ShareModesBetweenHandles) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/f.txt", "x");
    const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE,
                SD = FILE_SHARE_DELETE;
    struct Case {
        DWORD access1, share1, access2, share2;
        bool conflict;
    } cases[] = {
        {R, SR, R, SR, false},
        {R, SR, W, SR | SW, true},  // the first does not share writing
        {R, SR | SW, W, SR, false}, // it denies writing, which the first does not do
        {R, SR | SW, R | W, SR | SW, false},
        {R | W, 0, R, SR | SW, true},
        {W, SR, R, SR, true}, // the second denies the first's writing
        {R, SR | SW | SD, DELETE, SR | SW | SD, false},
        {R, SR, DELETE, SR | SW | SD, true},
        {FILE_READ_ATTRIBUTES, 0, R | W, 0, false}, // attribute access takes no part
    };
    for (const auto &c : cases) {
        HANDLE first = open_file("Q:\\f.txt", c.access1, c.share1, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        DWORD error = open_error("Q:\\F.TXT", c.access2, c.share2, OPEN_EXISTING);
        EXPECT_EQ(error, c.conflict ? ERROR_SHARING_VIOLATION : 0u)
            << std::hex << c.access1 << "/" << c.share1 << " then " << c.access2 << "/" << c.share2;
        CloseHandle(first);
    }
    // Closing a handle ends what it imposed; a refused CREATE_ALWAYS truncates nothing.
    HANDLE holder = open_file("Q:\\f.txt", R, 0, OPEN_EXISTING);
    EXPECT_EQ(open_error("Q:\\f.txt", W, SR | SW, CREATE_ALWAYS), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(read_file(q + "/f.txt"), "x");
    EXPECT_FALSE(DeleteFileA("Q:\\f.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    CloseHandle(holder);
    EXPECT_EQ(open_error("Q:\\f.txt", R | W, 0, OPEN_EXISTING), 0u);
    EXPECT_TRUE(DeleteFileA("Q:\\f.txt"));
}

TEST(PlatformFiles, ShareModesBetweenProcesses) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/held.txt", "held");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    if (child == 0) {
        HANDLE h = open_file("Q:\\HELD.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        if (read(release[0], &c, 1) != 1) _exit(3);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(
        open_error("Q:\\held.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
        ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA("Q:\\held.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA("Q:\\held.txt", "Q:\\moved.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(open_error("Q:\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
    for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

TEST(PlatformFiles, ReadOnlyHoldsEvenForRoot) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/ro.txt", "keep");
    ASSERT_TRUE(SetFileAttributesA("Q:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(fs::status(q + "/ro.txt").permissions() &
                  (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write),
              fs::perms::none);
    EXPECT_TRUE(GetFileAttributesA("Q:\\ro.txt") & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(open_error("Q:\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_error("Q:\\ro.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileA("Q:\\ro.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_error("Q:\\ro.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
    EXPECT_EQ(read_file(q + "/ro.txt"), "keep");

    ASSERT_TRUE(SetFileAttributesA("Q:\\ro.txt", FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_FALSE(GetFileAttributesA("Q:\\ro.txt") & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(DeleteFileA("Q:\\ro.txt"));
}

TEST(PlatformFiles, HiddenSystemAndArchiveInExtendedAttribute) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    if (!xattrs_supported(q)) GTEST_SKIP() << "no user extended attributes here";
    write_file(q + "/plain.txt", "");
    fs::create_directory(q + "/folder");
    EXPECT_EQ(GetFileAttributesA("Q:\\plain.txt"), FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesA("Q:\\folder"), FILE_ATTRIBUTE_DIRECTORY);

    ASSERT_TRUE(SetFileAttributesA("Q:\\plain.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesA("Q:\\plain.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(SetFileAttributesA("Q:\\folder", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesA("Q:\\folder"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);

    // A file with no attribute at all reports NORMAL; writing to it marks it for backup.
    ASSERT_TRUE(SetFileAttributesA("Q:\\plain.txt", 0));
    EXPECT_EQ(GetFileAttributesA("Q:\\plain.txt"), FILE_ATTRIBUTE_NORMAL);
    HANDLE h = open_file("Q:\\plain.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
    DWORD n;
    WriteFile(h, "x", 1, &n, nullptr);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("Q:\\plain.txt"), FILE_ATTRIBUTE_ARCHIVE);

    h = open_file("Q:\\made.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesA("Q:\\made.txt"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(GetFileAttributesA("Q:\\nothing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformFiles, FileTimes) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/t.txt", "x");
    // 2026-12-09 14:05:09.5 UTC
    uint64_t ticks = (1796825109ULL + 11644473600ULL) * 10000000ULL + 5000000ULL;
    FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    HANDLE h = open_file("Q:\\t.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &when));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = open_file("Q:\\t.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &when));
    FILETIME back{};
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &back));
    CloseHandle(h);
    EXPECT_EQ(back.dwLowDateTime, when.dwLowDateTime);
    EXPECT_EQ(back.dwHighDateTime, when.dwHighDateTime);
    struct stat st;
    ASSERT_EQ(stat((q + "/t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1796825109);
    EXPECT_EQ(st.st_mtim.tv_nsec, 500000000);
}

TEST(PlatformFiles, FindWithDosWildcards) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    for (const char *name : {"a.txt", "B.TXT", "readme", "c.dat", "ab.txt.bak"})
        write_file(q + "/d/" + name, "12");
    fs::create_directory(q + "/d/Sub");
    auto find = [](const char *pattern) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE)
            return std::vector<std::string>{"error " + std::to_string(GetLastError())};
        do names.push_back(data.cFileName);
        while (FindNextFileA(h, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        FindClose(h);
        std::sort(names.begin(), names.end());
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(find("Q:\\D\\*.txt"), (V{"B.TXT", "a.txt"}));
    EXPECT_EQ(find("q:\\d\\*.*"),
              (V{".", "..", "B.TXT", "Sub", "a.txt", "ab.txt.bak", "c.dat", "readme"}));
    EXPECT_EQ(find("Q:\\d\\*."), (V{".", "..", "Sub", "readme"}));
    EXPECT_EQ(find("Q:\\d\\?.t*"), (V{"B.TXT", "a.txt"}));
    EXPECT_EQ(find("Q:\\d\\SUB"), (V{"Sub"}));
    EXPECT_EQ(find("Q:\\*"), (V{"d"})); // no dot entries at the root of a drive
    EXPECT_EQ(find("Q:\\d\\*.zip"), (V{"error 2"}));
    EXPECT_EQ(find("Q:\\nodir\\*.*"), (V{"error 3"}));

    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(u"Q:\\d\\readme", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"readme");
    EXPECT_EQ(data.nFileSizeLow, 2u);
    FindClose(h);
}

TEST(PlatformFiles, MoveAndDirectories) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    write_file(q + "/a.txt", "a");
    write_file(q + "/b.txt", "b");
    EXPECT_FALSE(MoveFileA("Q:\\a.txt", "Q:\\B.TXT"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileA("Q:\\a.txt", "Q:\\A.TXT")); // a change of case only
    EXPECT_EQ(read_file(q + "/A.TXT"), "a");
    EXPECT_FALSE(MoveFileA("Q:\\missing", "Q:\\x"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_TRUE(CreateDirectoryA("Q:\\NewDir", nullptr));
    EXPECT_TRUE(fs::is_directory(q + "/NewDir"));
    EXPECT_FALSE(CreateDirectoryA("Q:\\newdir", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA("Q:\\no\\deeper", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(MoveFileA("Q:\\A.TXT", "Q:\\newdir\\moved.txt"));
    EXPECT_EQ(read_file(q + "/NewDir/moved.txt"), "a");
    EXPECT_FALSE(RemoveDirectoryA("Q:\\newdir"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryA("Q:\\b.txt"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_TRUE(DeleteFileA("Q:\\NEWDIR\\MOVED.TXT"));
    EXPECT_TRUE(RemoveDirectoryA("Q:\\newdir"));
    EXPECT_FALSE(fs::exists(q + "/NewDir"));
}

TEST(PlatformFiles, CurrentDirectoryAndRelativePaths) {
    KeepCwd keep;
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    std::string r = prefix.map_drive('r');
    write_file(q + "/Work/in.txt", "q");
    write_file(r + "/home/in.txt", "r");
    ASSERT_TRUE(SetCurrentDirectoryA("q:\\work"));
    char buf[MAX_PATH];
    ASSERT_EQ(GetCurrentDirectoryA(sizeof buf, buf), strlen("Q:\\Work"));
    EXPECT_STREQ(buf, "Q:\\Work");
    EXPECT_EQ(GetCurrentDirectoryA(3, buf), strlen("Q:\\Work") + 1); // too small: size needed
    EXPECT_EQ(kova_host_from_dos("in.txt"), q + "/Work/in.txt");
    EXPECT_EQ(kova_host_from_dos("\\Work\\in.txt"), q + "/Work/in.txt");
    EXPECT_EQ(kova_host_from_dos("Q:in.txt"), q + "/Work/in.txt");
    // Another drive's relative form takes that drive's own current directory.
    ASSERT_TRUE(SetEnvironmentVariableA("=R:", "R:\\home"));
    EXPECT_EQ(kova_host_from_dos("R:in.txt"), r + "/home/in.txt");
    SetEnvironmentVariableA("=R:", nullptr);
    EXPECT_EQ(kova_host_from_dos("R:in.txt"), r + "/in.txt");

    EXPECT_FALSE(SetCurrentDirectoryA("Q:\\nowhere"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetCurrentDirectoryA("Q:\\Work\\in.txt"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(RemoveDirectoryA("Q:\\Work")); // in use as the current directory
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    char full[MAX_PATH];
    char *part = nullptr;
    ASSERT_GT(GetFullPathNameA("sub\\..\\x.dat", sizeof full, full, &part), 0u);
    EXPECT_STREQ(full, "Q:\\Work\\x.dat");
    EXPECT_STREQ(part, "x.dat");
}

TEST(PlatformFiles, SharesAndDriveTypes) {
    TempPrefix prefix;
    kova_prefix();
    TempDir share;
    fs::create_directories(prefix.path() + "/dosdevices/unc/srv");
    fs::create_directory_symlink(share.path(), prefix.path() + "/dosdevices/unc/srv/Data");
    write_file(share.path() + "/x.txt", "unc");
    EXPECT_EQ(kova_host_from_dos("\\\\SRV\\data\\X.TXT"), share.path() + "/x.txt");
    EXPECT_EQ(open_error("\\\\srv\\data\\x.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), 0u);
    EXPECT_EQ(open_error("\\\\srv\\nope\\x.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              ERROR_BAD_NETPATH);
    EXPECT_EQ(kova_dos_from_host(share.path() + "/x.txt").substr(0, 2), "Z:");

    std::string local = prefix.map_drive('l');
    prefix.map_drive('n', prefix.path() + "/dosdevices/unc/srv/Data");
    EXPECT_EQ(GetDriveTypeA("L:\\"), DRIVE_FIXED);
    EXPECT_EQ(GetDriveTypeA("l:"), DRIVE_FIXED);
    EXPECT_EQ(GetDriveTypeA("N:\\"), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeA("\\\\srv\\data\\"), DRIVE_REMOTE);
    EXPECT_EQ(GetDriveTypeA("\\\\srv\\other\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveTypeA("K:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(GetDriveTypeA("L:\\sub\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_TRUE(GetLogicalDrives() & (1u << ('l' - 'a')));

    char remote[64];
    DWORD length = sizeof remote;
    EXPECT_EQ(WNetGetConnectionA("N:", remote, &length), static_cast<DWORD>(NO_ERROR));
    EXPECT_STREQ(remote, "\\\\srv\\Data");
    length = 4;
    EXPECT_EQ(WNetGetConnectionA("N:", remote, &length), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(length, strlen("\\\\srv\\Data") + 1);
    length = sizeof remote;
    EXPECT_EQ(WNetGetConnectionA("L:", remote, &length), static_cast<DWORD>(ERROR_NOT_CONNECTED));
    EXPECT_EQ(WNetGetConnectionA("bogus", remote, &length), static_cast<DWORD>(ERROR_BAD_DEVICE));

    char fs_name[16], label[16];
    DWORD serial = 0, max_component = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationA("L:\\", label, sizeof label, &serial, &max_component, &flags,
                                      fs_name, sizeof fs_name));
    EXPECT_EQ(max_component, 255u);
    EXPECT_FALSE(flags & FILE_CASE_SENSITIVE_SEARCH);
    EXPECT_FALSE(GetVolumeInformationA("K:\\", nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0));
}

TEST(PlatformFiles, LongNamesNeedTheWideApi) {
    TempPrefix prefix;
    std::string q = prefix.map_drive('q');
    std::string dir = std::string(120, 'd'), name = std::string(150, 'n');
    fs::create_directory(q + "/" + dir);
    std::string dos = "Q:\\" + dir + "\\" + name;
    EXPECT_EQ(open_error(dos, GENERIC_WRITE, 0, CREATE_NEW), ERROR_FILENAME_EXCED_RANGE);
    std::u16string wide(dos.begin(), dos.end());
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
    EXPECT_TRUE(fs::exists(q + "/" + dir + "/" + name));
    EXPECT_TRUE(DeleteFileW(wide.c_str()));
}

TEST(PlatformNames, ComputerUserEnvironmentAndTemp) {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(size, strlen(name));
    EXPECT_LE(size, 15u);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string expected = std::string(host).substr(0, std::string(host).find('.')).substr(0, 15);
    for (char &c : expected) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(name, expected);
    size = 1;
    EXPECT_FALSE(GetComputerNameA(name, &size));
    EXPECT_EQ(GetLastError(), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(size, expected.size() + 1);

    char user[64];
    size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    EXPECT_STREQ(user, getpwuid(geteuid())->pw_name);
    EXPECT_EQ(size, strlen(user) + 1);

    ASSERT_TRUE(SetEnvironmentVariableA("=Q:", "Q:\\x"));
    char value[16];
    EXPECT_EQ(GetEnvironmentVariableA("=q:", value, sizeof value), 4u);
    EXPECT_STREQ(value, "Q:\\x");
    EXPECT_EQ(GetEnvironmentVariableA("=Q:", value, 2), 5u);
    SetEnvironmentVariableA("=Q:", nullptr);
    EXPECT_EQ(GetEnvironmentVariableA("=Q:", value, sizeof value), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
    ASSERT_TRUE(SetEnvironmentVariableA("KOVA_FILES_TEST", "caf\xE9"));
    EXPECT_STREQ(getenv("KOVA_FILES_TEST"), "café");
    SetEnvironmentVariableA("KOVA_FILES_TEST", nullptr);

    TempPrefix prefix;
    char temp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof temp, temp);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(temp[n - 1], '\\');
    EXPECT_EQ(temp[1], ':');
    SetErrorMode(SEM_FAILCRITICALERRORS);
    EXPECT_EQ(SetErrorMode(0), SEM_FAILCRITICALERRORS);
}

} // namespace
