// The POSIX file surface against real files in a temporary prefix: drives and case, host and
// DOS paths, dispositions, sharing between handles and processes, attributes, times, moves.
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using kova_test::read_file;
using kova_test::TempPrefix;
using kova_test::write_file;

namespace {

HANDLE open_file(const char *name, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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

    // A new name is created as written, in the folder found without regard to case.
    h = open_file("q:\\Sub\\NewName.Dat", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &put, nullptr));
    CloseHandle(h);
    EXPECT_EQ(read_file(q + "/sub/NewName.Dat"), "abc");
}

} // namespace
