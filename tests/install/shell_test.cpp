// File types in the registry: the patch type alone and the whole table under the domain,
// dealer, option and PROGINIT rules, values written only when they differ, and removal from
// the end.
#include "kernel/files/install.h"
#include "kernel/install/shell.h"
#include "tests/install/shell_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace shell_test;
using kova_test::read_file;
using kova_test::TempPrefix;

using Expectations = std::vector<std::pair<std::string, std::string>>;

void expect_rows(const Expectations &rows) {
    for (const auto &[path, value] : rows) EXPECT_EQ(hkcr(path), value) << path;
}

const Expectations patch_rows = {
    {".kvz\\", "kvzfile"},
    {"kvzfile\\", "kova brisel Update File"},
    {"kvzfile\\DefaultIcon\\", program("kvpatch.exe")},
    {"kvzfile\\shell\\open\\command\\", program("kvpatch.exe") + " \"%1\""},
    {"kvzfile\\shell\\Send\\command\\", program("kvpatch.exe") + " \"%1\" /m"},
    {"kvzfile\\shell\\", "open"},
};

TEST(ShellRegister, PatchTypeKeepsTheQueueVerbOnlyInTheSuiteDomain) {
    struct Case {
        const char *variable, *value;
        bool queue;
    };
    const Case cases[] = {
        {nullptr, nullptr, false},
        {"USERDOMAIN", "SysKova", true},
        {"USERDOMAIN", "SYSKOVA2", false},
        {"KOVADOMAIN", "yes", true},
        {"KOVADOMAIN", "no", false},
        {"kovadealer", "", false}, // dealers keep only the parameter file's Configure verb
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.variable ? std::string(c.variable) + "=" + c.value : "no domain");
        TempPrefix prefix;
        Environment env;
        plain_environment(env);
        if (c.variable) env.set(c.variable, c.value);
        // As an earlier registration in the suite's domain left it.
        set_hkcr("kvzfile\\shell\\Queue for FTP collection\\command", nullptr, "old");

        EXPECT_EQ(fxk_shell_register("KVZ", 0), 0);
        expect_rows(patch_rows);
        if (c.queue) {
            EXPECT_EQ(hkcr(queue_row), program("kvpatch.exe") + " \"%1\" /f");
        } else {
            EXPECT_EQ(hkcr(queue_row), missing_key);
            EXPECT_EQ(hkcr("kvzfile\\shell\\Queue for FTP collection\\"), missing_key)
                << "no verb is left without its command";
        }
        // Only the patch type takes part.
        for (const char *other : {".kvb\\", "kvbfile\\", ".kvs\\", "kvsfile\\", ".kvx\\"})
            EXPECT_EQ(hkcr(other), missing_key) << other;
    }
}

TEST(ShellRegister, RegisteringAgainChangesNothingAndTellsNoOne) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    env.set("XDG_CURRENT_DESKTOP", "test");
    DatabaseTools tools(env);

    EXPECT_EQ(fxk_shell_register("kvz", 0), 0);
    std::string refreshed = tools.calls();
    // Only a Linux desktop has the databases to refresh.
    if (!kova_test::on_windows()) {
        EXPECT_NE(refreshed, "");
    }
    std::string written = registry_stamp(prefix);

    EXPECT_NE(fxk_shell_register("kvz", 0), 0);
    EXPECT_EQ(registry_stamp(prefix), written) << "the registry was not written again";
    EXPECT_EQ(tools.calls(), refreshed) << "no notice without a change";
}

TEST(ShellRegister, MatchingValuesStayAndOthersAreRewritten) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    // The rows as another spelling of the keys holds them already.
    for (const auto &[path, value] : patch_rows) {
        std::string key = path.substr(0, path.size() - 1);
        for (char &c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        set_hkcr(key, nullptr, value);
    }
    std::string written = registry_stamp(prefix);
    EXPECT_EQ(fxk_shell_register("kvz", 0), 1);
    EXPECT_EQ(registry_stamp(prefix), written);
    char name[64] = {};
    DWORD size = sizeof name;
    HKEY classes = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "KVZFILE\\SHELL", 0, KEY_READ, &classes),
              ERROR_SUCCESS);
    ASSERT_EQ(RegEnumKeyExA(classes, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(classes);
    EXPECT_STREQ(name, "OPEN") << "existing keys are used as they are spelt";

    // Values compare exactly: case and type count.
    set_hkcr("kvzfile", nullptr, "KOVA BRISEL UPDATE FILE");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, ".kvz", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE *>("kvzfile"), 8),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(fxk_shell_register("kvz", 0), 0);
    expect_rows(patch_rows);
}

TEST(ShellRegister, WholeTableFollowsOptionDomainDealerAndProginit) {
    const std::string configure = "kvcfile\\shell\\Configure\\command\\";
    const std::string feature_configure = "kvffile\\shell\\Configure\\command\\";
    struct Case {
        const char *name;
        bool option248, domain, dealer;
        const char *proginit;
        Expectations rows;
    };
    const Case cases[] = {
        {"plain",
         false,
         false,
         false,
         nullptr,
         {{".kvb\\", "kvbfile"},
          {"kvbfile\\shell\\open\\command\\", program("kvbackup.exe") + " \"%1\""},
          {"kvbfile\\shell\\Send to KOVA Support\\command\\",
           program("kvbackup.exe") + " \"%1\" /a"},
          {"kvbfile\\shell\\Send to KOVA Emergency Support\\command\\",
           program("kvbackup.exe") + " \"%1\" /b"},
          {"kvbfile\\shell\\Explore\\", missing_key},
          {"kvbfile\\shell\\Make ZIP compatible\\", missing_key},
          {"kvrfile\\shell\\Print\\command\\", program("kovarep.exe") + " \"%1\" /p"},
          {"kvpfile\\DefaultIcon\\", program("kvprocs.exe")},
          {".kvz\\", "kvzfile"},
          {queue_row, missing_key},
          // Without option 248 the walk ends at the shortcut group.
          {".kvs\\", missing_key},
          {".kvc\\", missing_key},
          {".kvx\\", missing_key}}},
        {"option 248",
         true,
         false,
         false,
         "Y",
         {{".kvs\\", "kvsfile"},
          {"kvsfile\\", "kova brisel Shortcut"},
          {"kvsfile\\IsShortcut", ""},
          {"kvsfile\\NeverShowExt", ""},
          {".kvc\\", "kvcfile"},
          {".kvc\\ShellNew\\", missing_key},
          {"kvcfile\\shell\\open\\command\\", program("kvparm.exe") + " \"%1\""},
          {"kvcfile\\shell\\Configure\\", missing_key},
          {"kvffile\\shell\\Configure\\", missing_key},
          {"kvffile\\", "kova brisel Feature Table File"},
          {".kvx\\", missing_key}}},
        {"dealer",
         true,
         false,
         true,
         nullptr,
         {{configure, program("kvparm.exe") + " \"%1\" /c"},
          {"kvcfile\\shell\\Configure\\", missing_value},
          {"kvffile\\shell\\Configure\\", missing_key},
          {".kvc\\ShellNew\\", missing_key},
          {"kvbfile\\shell\\Explore\\", missing_key}}},
        {"domain",
         true,
         true,
         false,
         "Yes",
         {{"kvbfile\\shell\\Explore\\command\\", program("kvbackup.exe") + " \"%1\" /e"},
          {"kvbfile\\shell\\Make ZIP incompatible\\command\\",
           program("kvbackup.exe") + " \"%1\" /i"},
          {".kvc\\ShellNew\\command", program("kvparm.exe") + " /n \"%1\""},
          {configure, program("kvparm.exe") + " \"%1\" /c"},
          {feature_configure, program("kvfeat.exe") + " \"%1\" /c"},
          {queue_row, program("kvpatch.exe") + " \"%1\" /f"},
          {".kvx\\", "kvxfile"},
          {"kvxfile\\shell\\open\\command\\", program("kvx.exe") + " \"%1\""},
          {"kvxfile\\shell\\", "open"}}},
        {"domain, PROGINIT in lower case", true, true, false, "yes", {{".kvx\\", missing_key}}},
        {"domain without option 248",
         false,
         true,
         false,
         "Y",
         {{queue_row, program("kvpatch.exe") + " \"%1\" /f"},
          {".kvs\\", missing_key},
          {".kvx\\", missing_key}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempPrefix prefix;
        Environment env;
        plain_environment(env);
        if (c.domain) env.set("KOVADOMAIN", "Y");
        if (c.dealer) env.set("kovadealer", "1");
        if (c.proginit) env.set("PROGINIT", c.proginit);
        if (c.option248)
            fxi_set_option(248);
        else
            fxi_clear_option(248);
        EXPECT_EQ(fxk_shell_register(nullptr, 0), 0);
        expect_rows(c.rows);
        fxi_clear_option(248);
    }
}

TEST(ShellRegister, LeavingTheDomainRemovesItsVerbs) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    fxi_set_option(248);
    env.set("USERDOMAIN", "syskova");
    EXPECT_EQ(fxk_shell_register(nullptr, 0), 0);
    env.set("USERDOMAIN", "OFFICE");
    EXPECT_EQ(fxk_shell_register(nullptr, 0), 0);
    fxi_clear_option(248);
    expect_rows({{"kvbfile\\shell\\Explore\\", missing_key},
                 {"kvbfile\\shell\\Make ZIP compatible\\", missing_key},
                 {"kvbfile\\shell\\Make ZIP incompatible\\", missing_key},
                 {"kvbfile\\shell\\", "open"},
                 {".kvc\\ShellNew\\", missing_key},
                 {".kvc\\", "kvcfile"},
                 {"kvcfile\\shell\\Configure\\", missing_key},
                 {"kvcfile\\shell\\", "open"},
                 {"kvffile\\shell\\Configure\\", missing_key},
                 {"kvzfile\\shell\\Queue for FTP collection\\", missing_key},
                 {"kvzfile\\shell\\Send\\command\\", program("kvpatch.exe") + " \"%1\" /m"}});
}

std::set<std::string> class_keys() {
    std::set<std::string> keys;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        // Windows has classes of its own: only the suite's kind of name counts there.
        std::string_view key = name;
        if (kova_test::on_windows() && !key.starts_with(".kv") && !key.starts_with("kv")) continue;
        keys.insert(name);
    }
    return keys;
}

TEST(ShellRegister, RemovalTakesTheTypeAndOnlyEmptiedParents) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    env.set("KOVADOMAIN", "y");
    env.set("PROGINIT", "Y");
    fxi_set_option(248);
    ASSERT_EQ(fxk_shell_register(nullptr, 0), 0);
    fxi_clear_option(248);
    // Another program's entries below the patch type's keys.
    set_hkcr(".kvz\\OpenWithProgids", "other.kvz", "");
    set_hkcr("kvzfile\\shell\\Print\\command", nullptr, "other.exe \"%1\"");

    EXPECT_EQ(fxk_shell_register("kvz", 1), 0);
    expect_rows({{".kvz\\", missing_value},
                 {".kvz\\OpenWithProgids\\other.kvz", ""},
                 {"kvzfile\\", missing_value},
                 {"kvzfile\\DefaultIcon\\", missing_key},
                 {"kvzfile\\shell\\open\\", missing_key},
                 {"kvzfile\\shell\\Send\\", missing_key},
                 {"kvzfile\\shell\\Queue for FTP collection\\", missing_key},
                 {"kvzfile\\shell\\", missing_value},
                 {"kvzfile\\shell\\Print\\command\\", "other.exe \"%1\""},
                 {".kvb\\", "kvbfile"},
                 {".kvx\\", "kvxfile"}});
    EXPECT_EQ(fxk_shell_register("kvz", 1), 1) << "nothing of the type is left";

    EXPECT_EQ(fxk_shell_register(nullptr, 1), 0);
    EXPECT_EQ(class_keys(), (std::set<std::string>{".kvz", "kvzfile"}))
        << "only the other program's keys remain";
    EXPECT_EQ(fxk_shell_register(nullptr, 1), 1);
}

TEST(ShellRegister, ATypeNotInTheTableChangesNothing) {
    TempPrefix prefix;
    Environment env;
    plain_environment(env);
    EXPECT_EQ(fxk_shell_register("kv", 0), 1);
    EXPECT_EQ(fxk_shell_register("kvzfile", 0), 1);
    EXPECT_EQ(class_keys(), std::set<std::string>{});
}

} // namespace
