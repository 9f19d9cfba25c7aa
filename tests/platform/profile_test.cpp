// Profile files with the Windows rules: lookups, enumerations, truncation, edits that keep the
// untouched lines, refusals, and writers in several processes.
#include "platform/win32.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char sample[] = "; kova.ini\r\n"
                      "[All]\r\n"
                      "  Server =  KOVASRV  \r\n"
                      "quoted=\" padded \"\r\n"
                      "single='x'\r\n"
                      "uneven=\"x'\r\n"
                      "bare\r\n"
                      "empty=\r\n"
                      "\r\n"
                      "[debug]\n"
                      "trace=Y\n"
                      "[ALL]\r\n"
                      "late=second section\r\n";

struct Ini {
    kova_test::TempPrefix prefix;
    std::string host = prefix.map_drive('D') + "/kova.ini";
    const char *dos = "D:\\kova.ini";
};

std::string get(const Ini &ini, const char *section, const char *key, const char *def = "dflt",
                DWORD size = 256, DWORD *result = nullptr) {
    std::string buffer(size ? size : 1, '#');
    DWORD n = GetPrivateProfileStringA(section, key, def, buffer.data(), size, ini.dos);
    if (result) *result = n;
    return std::string(buffer.data(), n);
}

} // namespace

TEST(Profile, LookupsFollowTheWindowsRules) {
    Ini ini;
    kova_test::write_file(ini.host, sample);
    struct Case {
        const char *section, *key, *def;
        std::string expected;
    } cases[] = {
        {"all", "SERVER", "x", "KOVASRV"},  // case-insensitive, blanks trimmed
        {"All", "quoted", "x", " padded "}, // one pair of quotes stripped
        {"All", "single", "x", "x"},
        {"All", "uneven", "x", "\"x'"}, // quotes that do not pair stay
        {"All", "bare", "x", ""},       // a key without '=' has an empty value
        {"All", "empty", "x", ""},
        {"All", "late", "x", "x"},                     // only the first section of a name is read
        {"debug", "trace", "x", "Y"},                  // LF-only lines read the same
        {"All", "missing", "fallback   ", "fallback"}, // the default loses trailing blanks
        {"nosection", "server", nullptr, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(get(ini, c.section, c.key, c.def), c.expected) << c.section << "/" << c.key;

    // Truncation: the value is cut to size - 1 and that is the answer.
    DWORD n = 0;
    EXPECT_EQ(get(ini, "All", "Server", "", 4, &n), "KOV");
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(get(ini, "All", "Server", "", 0, &n), "");

    // A missing file reads as empty; GetPrivateProfileIntA reads leading digits.
    EXPECT_EQ(GetPrivateProfileStringA("All", "Server", "none", nullptr, 0, "D:\\absent.ini"), 0u);
    kova_test::write_file(ini.host, "[n]\r\na=42\r\nb=-7\r\nc=12abc\r\nd=abc\r\ne=\r\n");
    EXPECT_EQ(GetPrivateProfileIntA("n", "a", 5, ini.dos), 42u);
    EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntA("n", "b", 5, ini.dos)), -7);
    EXPECT_EQ(GetPrivateProfileIntA("n", "c", 5, ini.dos), 12u);
    EXPECT_EQ(GetPrivateProfileIntA("n", "d", 5, ini.dos), 0u);
    EXPECT_EQ(GetPrivateProfileIntA("n", "e", 5, ini.dos), 5u);
    EXPECT_EQ(GetPrivateProfileIntA("n", "z", 5, ini.dos), 5u);
}

TEST(Profile, EnumerationsOfSectionsAndKeys) {
    Ini ini;
    kova_test::write_file(ini.host, sample);
    DWORD n = 0;
    EXPECT_EQ(get(ini, nullptr, nullptr, "", 256, &n), std::string("All\0debug\0", 10));
    EXPECT_EQ(get(ini, "ALL", nullptr, "", 256, &n),
              std::string("Server\0quoted\0single\0uneven\0bare\0empty\0", 39));
    // A list that does not fit is cut and ends in two NULs; the answer is size - 2.
    std::string buffer(8, '#');
    n = GetPrivateProfileStringA(nullptr, nullptr, "", buffer.data(), 8, ini.dos);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(buffer, std::string("All\0de\0\0", 8));
}

TEST(Profile, WritesChangeOnlyTheirLines) {
    Ini ini;
    kova_test::write_file(ini.host, sample);
    ASSERT_TRUE(WritePrivateProfileStringA("all", "server", "OTHER", ini.dos));
    ASSERT_TRUE(WritePrivateProfileStringA("All", "NewKey", "v1", ini.dos));
    ASSERT_TRUE(WritePrivateProfileStringA("debug", "trace", nullptr, ini.dos));
    ASSERT_TRUE(WritePrivateProfileStringA("system", "release", "22", ini.dos));
    EXPECT_EQ(kova_test::read_file(ini.host),
              "; kova.ini\r\n"
              "[All]\r\n"
              "Server=OTHER\r\n" // the key keeps the spelling the file gives it
              "quoted=\" padded \"\r\n"
              "single='x'\r\n"
              "uneven=\"x'\r\n"
              "bare\r\n"
              "empty=\r\n"
              "NewKey=v1\r\n"
              "\r\n"
              "[debug]\n"
              "[ALL]\r\n"
              "late=second section\r\n"
              "\r\n"
              "[system]\r\n"
              "release=22\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("ALL", nullptr, nullptr, ini.dos));
    EXPECT_EQ(kova_test::read_file(ini.host), "; kova.ini\r\n"
                                              "[debug]\n"
                                              "[ALL]\r\n"
                                              "late=second section\r\n"
                                              "\r\n"
                                              "[system]\r\n"
                                              "release=22\r\n");

    // A new file, and a last line without its line end.
    kova_test::write_file(ini.host, "[a]\r\nx=1");
    ASSERT_TRUE(WritePrivateProfileStringA("a", "y", "2", ini.dos));
    EXPECT_EQ(kova_test::read_file(ini.host), "[a]\r\nx=1\r\ny=2\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("s", "k", "v", "D:\\new.ini"));
    EXPECT_EQ(kova_test::read_file(ini.prefix.path() + "/drive_D/new.ini"), "[s]\r\nk=v\r\n");

    // A value of 3,000 characters is written and read back whole.
    std::string long_value(3000, 'q');
    ASSERT_TRUE(WritePrivateProfileStringA("a", "long", long_value.c_str(), ini.dos));
    EXPECT_EQ(get(ini, "a", "long", "", 3100), long_value);
}

TEST(Profile, RefusedWrites) {
    Ini ini;
    kova_test::write_file(ini.host, "[a]\r\nx=1\r\n");
    struct Case {
        const char *section, *key, *value, *file;
        DWORD error;
    } cases[] = {
        {"a", "x", "1\r\n[b]\r\nevil=1", "D:\\kova.ini", ERROR_INVALID_PARAMETER},
        {"a", "k=v", "1", "D:\\kova.ini", ERROR_INVALID_PARAMETER},
        {"a]x", "k", "1", "D:\\kova.ini", ERROR_INVALID_PARAMETER},
        {"a", "k", "1", "D:\\no\\such\\dir\\kova.ini", ERROR_PATH_NOT_FOUND},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, c.file)) << c.key;
        EXPECT_EQ(GetLastError(), c.error) << c.key;
    }
    // A read-only file stays as it is, as on Windows, even for root.
    chmod(ini.host.c_str(), 0444);
    EXPECT_FALSE(WritePrivateProfileStringA("a", "x", "2", ini.dos));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(kova_test::read_file(ini.host), "[a]\r\nx=1\r\n");
}

TEST(Profile, ConcurrentWritersInSeveralProcessesLoseNothing) {
    Ini ini;
    const int writers = 4, each = 20;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < each; ++i) {
                std::string key = "k" + std::to_string(w) + "_" + std::to_string(i);
                failures += !WritePrivateProfileStringA(w % 2 ? "odd" : "even", key.c_str(),
                                                        key.c_str(), ini.dos);
            }
            _exit(failures ? 1 : 0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < each; ++i) {
            std::string key = "k" + std::to_string(w) + "_" + std::to_string(i);
            EXPECT_EQ(get(ini, w % 2 ? "odd" : "even", key.c_str(), ""), key);
        }
}
