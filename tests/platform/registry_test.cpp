// The registry over REGEDIT4 hives: values of every type, Windows errors, enumeration order,
// the text form, damaged hives and writers in several processes at once.
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h) RegCloseKey(h);
    }
};

LSTATUS create(HKEY root, const char *path, Key &key, REGSAM access = KEY_ALL_ACCESS,
               DWORD *disposition = nullptr) {
    return RegCreateKeyExA(root, path, 0, nullptr, 0, access, nullptr, &key.h, disposition);
}

LSTATUS set_text(HKEY key, const char *name, const std::string &text, DWORD type = REG_SZ) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

std::string query_text(HKEY key, const char *name, DWORD *type = nullptr) {
    char buffer[512] = {};
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE *>(buffer), &size))
        return "<missing>";
    return std::string(buffer, size ? size - 1 : 0);
}

} // namespace

TEST(Registry, ValuesOfEveryTypeSurviveTheHiveFile) {
    kova_test::TempPrefix prefix;
    Key key;
    DWORD disposition = 0;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software", key, KEY_ALL_ACCESS,
                     &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    const std::string tricky = "S:\\KOVABrisel\\ \"quoted\" Soci\xe9t\xe9";
    ASSERT_EQ(set_text(key.h, "ServiceDataHome", tricky), ERROR_SUCCESS);
    ASSERT_EQ(set_text(key.h, "Path", "%TEMP%\\x", REG_EXPAND_SZ), ERROR_SUCCESS);
    ASSERT_EQ(set_text(key.h, "Lines", "one\r\ntwo"), ERROR_SUCCESS); // cannot be a "string" line
    ASSERT_EQ(set_text(key.h, nullptr, "default"), ERROR_SUCCESS);
    DWORD start = 2;
    ASSERT_EQ(RegSetValueExA(key.h, "Start", 0, REG_DWORD, reinterpret_cast<BYTE *>(&start), 4),
              ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 0xfe, 0xff};
    ASSERT_EQ(RegSetValueExA(key.h, "Blob", 0, REG_BINARY, blob, 4), ERROR_SUCCESS);
    const char multi[] = "a\0bc\0";
    ASSERT_EQ(RegSetValueExA(key.h, "Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(multi),
                             sizeof multi),
              ERROR_SUCCESS);

    std::string text = kova_test::read_file(prefix.path() + "/system.reg");
    EXPECT_EQ(text.rfind("REGEDIT4\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\KOVA Business Software]\n"),
              std::string::npos);
    EXPECT_NE(
        text.find(
            "\"ServiceDataHome\"=\"S:\\\\KOVABrisel\\\\ \\\"quoted\\\" Soci\xc3\xa9t\xc3\xa9\"\n"),
        std::string::npos);
    EXPECT_NE(text.find("\"Start\"=dword:00000002\n"), std::string::npos);
    EXPECT_NE(text.find("\"Blob\"=hex:00,01,fe,ff\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);

    // A second handle reads what the file holds, names compared without regard to case.
    Key again;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\kova business software", 0,
                            KEY_QUERY_VALUE | KEY_WOW64_64KEY, &again.h),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(query_text(again.h, "servicedatahome", &type), tricky);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(query_text(again.h, "Path", &type), "%TEMP%\\x");
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(query_text(again.h, "Lines"), "one\r\ntwo");
    EXPECT_EQ(query_text(again.h, ""), "default");
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(
        RegQueryValueExA(again.h, "START", nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);
    BYTE bytes[8];
    size = sizeof bytes;
    EXPECT_EQ(RegQueryValueExA(again.h, "Blob", nullptr, &type, bytes, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), size), std::string("\0\1\xfe\xff", 4));
    size = sizeof bytes;
    EXPECT_EQ(RegQueryValueExA(again.h, "Multi", nullptr, &type, bytes, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(bytes), size), std::string(multi, sizeof multi));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
}

TEST(Registry, ClassesRootLivesBelowTheMachinesSoftwareClasses) {
    kova_test::TempPrefix prefix;
    Key cls;
    ASSERT_EQ(create(HKEY_CLASSES_ROOT, ".kvz\\", cls), ERROR_SUCCESS);
    ASSERT_EQ(set_text(cls.h, nullptr, "kvzfile"), ERROR_SUCCESS);
    Key machine;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes\\.KVZ", 0, KEY_READ, &machine.h),
              ERROR_SUCCESS);
    EXPECT_EQ(query_text(machine.h, nullptr), "kvzfile");

    Key user;
    ASSERT_EQ(create(HKEY_CURRENT_USER, "Software\\KOVA", user), ERROR_SUCCESS);
    ASSERT_EQ(set_text(user.h, "Who", "me"), ERROR_SUCCESS);
    EXPECT_NE(kova_test::read_file(prefix.path() + "/user.reg")
                  .find("[HKEY_CURRENT_USER\\Software\\KOVA]"),
              std::string::npos);
    EXPECT_EQ(kova_test::read_file(prefix.path() + "/system.reg").find("KOVA]"), std::string::npos);
}

TEST(Registry, WindowsErrorNumbers) {
    kova_test::TempPrefix prefix;
    Key parent, child, reader;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\Test\\Child", child), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, KEY_READ, &reader.h),
              ERROR_SUCCESS);
    ASSERT_EQ(set_text(child.h, "Value", "0123456789"), ERROR_SUCCESS);

    Key missing;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Nothing", 0, KEY_READ, &missing.h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.h, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, KEY_READ, &missing.h),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(query_text(child.h, "Other"), "<missing>");

    // A short buffer says how much is needed.
    char small[4];
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(child.h, "Value", nullptr, nullptr, reinterpret_cast<BYTE *>(small),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11u);
    size = 0;
    EXPECT_EQ(RegQueryValueExA(child.h, "Value", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 11u);

    // Rights of the handle, a key that still has subkeys, the end of an enumeration.
    EXPECT_EQ(set_text(reader.h, "x", "y"), ERROR_ACCESS_DENIED);
    Key sub;
    EXPECT_EQ(create(reader.h, "New", sub), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Test"), ERROR_ACCESS_DENIED);
    char name[32];
    size = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(reader.h, 1, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteValueA(child.h, "Other"), ERROR_FILE_NOT_FOUND);

    // Once another handle deleted the key, this one reports it.
    EXPECT_EQ(RegDeleteKeyA(reader.h, "child"), ERROR_SUCCESS);
    EXPECT_EQ(query_text(child.h, "Value"), "<missing>");
    EXPECT_EQ(set_text(child.h, "Value", "again"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(reader.h, "child"), ERROR_FILE_NOT_FOUND);

    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
}

TEST(Registry, EnumerationOrder) {
    kova_test::TempPrefix prefix;
    Key root;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\Order", root), ERROR_SUCCESS);
    for (const char *name : {"beta", "Alpha", "gamma", "ALPHA2"}) {
        Key sub;
        ASSERT_EQ(create(root.h, name, sub), ERROR_SUCCESS);
    }
    for (const char *name : {"z", "a", "m"}) ASSERT_EQ(set_text(root.h, name, name), ERROR_SUCCESS);

    std::vector<std::string> keys, values;
    char name[64];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(root.h, i, name, &size, nullptr, nullptr, nullptr, nullptr)) break;
        EXPECT_EQ(size, strlen(name));
        keys.push_back(name);
    }
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name, type = 0;
        char data[16];
        DWORD data_size = sizeof data;
        if (RegEnumValueA(root.h, i, name, &size, nullptr, &type, reinterpret_cast<BYTE *>(data),
                          &data_size))
            break;
        EXPECT_STREQ(data, name);
        values.push_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    EXPECT_EQ(values, (std::vector<std::string>{"z", "a", "m"}));

    DWORD tiny = 3; // "gamma" needs 6 with its NUL
    EXPECT_EQ(RegEnumKeyExA(root.h, 3, name, &tiny, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
}

TEST(Registry, ReadsHandWrittenHivesAndLeavesDamagedOnesAlone) {
    kova_test::TempPrefix prefix;
    const std::string hive = "REGEDIT4\r\n\r\n"
                             "; written by hand\r\n"
                             "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\KOVAQM]\r\n"
                             "\"Start\"=dword:00000004\r\n"
                             "\"ImagePath\"=hex(2):2f,62,69,\\\r\n"
                             "  6e,00\r\n"
                             "@=\"Queue manager\"\r\n";
    kova_test::write_file(prefix.path() + "/system.reg", hive);
    Key key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\kovaqm", 0,
                            KEY_READ, &key.h),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(query_text(key.h, "ImagePath", &type), "/bin");
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(query_text(key.h, nullptr), "Queue manager");

    // A line this registry cannot read would be lost by a rewrite: writing is refused.
    const std::string damaged = hive + "\"Odd\"=something(9)\r\n";
    kova_test::write_file(prefix.path() + "/system.reg", damaged);
    Key writer;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\KOVAQM", 0,
                            KEY_ALL_ACCESS, &writer.h),
              ERROR_SUCCESS);
    EXPECT_EQ(query_text(writer.h, nullptr), "Queue manager");
    EXPECT_EQ(set_text(writer.h, "New", "x"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(kova_test::read_file(prefix.path() + "/system.reg"), damaged);
}

// Writers in several processes each add their own values to one key at the same time: every
// value must be there afterwards, as each change re-reads the hive under the lock.
TEST(Registry, ConcurrentWritersInSeveralProcessesLoseNothing) {
    kova_test::TempPrefix prefix;
    {
        Key key;
        ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\Shared", key), ERROR_SUCCESS);
    }
    const int writers = 4, each = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            HKEY key = nullptr;
            int failures = 0;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_SET_VALUE, &key))
                _exit(2);
            for (int i = 0; i < each; ++i) {
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                failures += set_text(key, name.c_str(), name) != ERROR_SUCCESS;
            }
            RegCloseKey(key);
            _exit(failures ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    Key key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Shared", 0, KEY_READ, &key.h),
              ERROR_SUCCESS);
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < each; ++i) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            EXPECT_EQ(query_text(key.h, name.c_str()), name);
        }
    // No temporary hive is left beside the real one.
    EXPECT_TRUE(
        kova_test::run({"sh", "-c", "ls -a '" + prefix.path() + "' | grep -c '^\\.system'"}).out ==
        "0\n");
}

// A writer killed at any moment leaves the old hive or the new one, never a part of one.
TEST(Registry, AWriterKilledMidwayLeavesAWholeHive) {
    kova_test::TempPrefix prefix;
    {
        Key key;
        ASSERT_EQ(create(HKEY_LOCAL_MACHINE, "Software\\Crash", key), ERROR_SUCCESS);
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash", 0, KEY_SET_VALUE, &key)) _exit(2);
        for (int i = 0;; ++i)
            set_text(key, ("v" + std::to_string(i)).c_str(), std::string(200, 'x'));
    }
    Sleep(150);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    Key key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Crash", 0, KEY_ALL_ACCESS, &key.h),
              ERROR_SUCCESS);
    EXPECT_EQ(set_text(key.h, "after", "ok"), ERROR_SUCCESS); // the hive is readable and whole
    std::vector<std::string> names;
    char name[32];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumValueA(key.h, i, name, &size, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(name);
    }
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names.back(), "after");
    for (size_t i = 0; i + 1 < names.size(); ++i) EXPECT_EQ(names[i], "v" + std::to_string(i));
    // What the killed writer left half-made is cleared away by the next change.
    EXPECT_EQ(
        kova_test::run({"sh", "-c", "ls -a '" + prefix.path() + "' | grep -c '^\\.system'"}).out,
        "0\n");
}
