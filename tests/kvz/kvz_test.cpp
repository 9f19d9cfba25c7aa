// kvz on patches built by the real kvpatch: list and its JSON, verify by kvpatch's own rules,
// a plan that matches what installing then does, extract and diff.
#include "tests/kvz/kvz_fixture.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

using namespace kvz_test;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string random_bytes(size_t n) {
    std::mt19937 generator(7);
    std::string bytes(n, '\0');
    for (char &c : bytes) c = static_cast<char>(generator());
    return bytes;
}

std::string text_bytes(size_t n) {
    std::string text;
    while (text.size() < n)
        text += "the quick brown fox jumps over the lazy dog " + std::to_string(text.size() % 97) +
                "\n";
    return text.substr(0, n);
}

// Every file below a folder with its contents and last-write time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const std::string &dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[entry.path().string()] = {read_file(entry.path().string()),
                                            entry.last_write_time()};
    return files;
}

class KvzCommands : public Scene {
protected:
    void SetUp() override {
        Scene::SetUp();
        small_ = component("kova2000/abc/a.dat", "new", 2026);
        text_ = component("kova2000/abc/text.txt", text_bytes(100000), 2026, 6, 2);
        noise_ = component("kova2000/abc/noise.dll", random_bytes(32769), 2026, 6, 3);
        patch_ = build("fix", {small_, text_, noise_});
    }
    json list_json(const std::string &patch) {
        RunResult r = kvz({"list", patch, "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out);
    }
    std::string small_, text_, noise_, patch_;
};

TEST_F(KvzCommands, ListGivesTheHeaderAndHowEachComponentIsStored) {
    json doc = list_json(patch_);
    EXPECT_EQ(doc["version"], 2);
    EXPECT_EQ(doc["undo"], false);
    EXPECT_FALSE(doc["creator"].get<std::string>().empty());
    EXPECT_EQ(doc["created"].get<std::string>().size(), 19u);
    EXPECT_EQ(doc["sound"], true);
    ASSERT_EQ(doc["components"].size(), 3u);

    const json &small = doc["components"][0];
    EXPECT_EQ(small["path"], "\\kova2000\\abc\\a.dat");
    EXPECT_EQ(small["length"], 3);
    EXPECT_EQ(small["stamp"], "2026-06-01 12:00:00");
    EXPECT_EQ(small["blocks"], 1);
    EXPECT_EQ(small["stored"], 1) << "3 bytes do not implode smaller";
    EXPECT_EQ(small["ratio"], 1.0);

    const json &text = doc["components"][1];
    EXPECT_EQ(text["length"], 100000);
    EXPECT_EQ(text["blocks"], 4);
    EXPECT_EQ(text["imploded"], 4);
    EXPECT_LT(text["stored_bytes"].get<uint64_t>(), 20000u);
    EXPECT_LT(text["ratio"].get<double>(), 0.2);

    const json &noise = doc["components"][2];
    EXPECT_EQ(noise["length"], 32769);
    EXPECT_EQ(noise["blocks"], 2) << "32,768 bytes and then 1";
    EXPECT_EQ(noise["stored"], 2);
    EXPECT_EQ(noise["stored_bytes"], 32769);
    EXPECT_EQ(noise["stamp"], "2026-06-03 12:00:00");

    uint64_t length = 0, stored = 0;
    for (const json &c : doc["components"]) {
        length += c["length"].get<uint64_t>();
        stored += c["stored_bytes"].get<uint64_t>();
    }
    EXPECT_EQ(doc["total_length"], length);
    EXPECT_EQ(doc["total_stored_bytes"], stored);

    // A DOS path names the same patch; the text form says the same.
    json dos = list_json("S:\\source\\patches\\fix.kvz");
    dos["patch"] = doc["patch"];
    EXPECT_EQ(dos, doc);
    RunResult text_form = kvz({"list", patch_});
    EXPECT_EQ(text_form.status, 0);
    EXPECT_NE(text_form.out.find("patch, version 2, created "), std::string::npos);
    EXPECT_NE(text_form.out.find("  \\kova2000\\abc\\noise.dll\n"), std::string::npos);
    EXPECT_NE(text_form.out.find("2 blocks: 2 stored"), std::string::npos) << text_form.out;
    EXPECT_NE(text_form.out.find("3 components, 132772 bytes stored in "), std::string::npos);
}

TEST_F(KvzCommands, VerifyRunsKvpatchsChecksAndSaysWhatIsWrong) {
    RunResult sound = kvz({"verify", patch_});
    EXPECT_EQ(sound.status, 0) << sound.err;
    EXPECT_EQ(sound.err, "");

    std::string good = read_file(patch_);
    size_t path_at = good.find("\\kova2000\\abc\\a.dat");
    ASSERT_NE(path_at, std::string::npos);
    size_t first_block = 761 + 1318;
    struct Case {
        const char *name;
        std::function<void(std::string &)> damage;
        const char *problem;
        bool listable; // kvz list still reads it through (the path rules are installation's)
    };
    const Case cases[] = {
        {"a path out of the tree",
         [&](std::string &b) {
             b.replace(path_at, 19, std::string("..\\..\\etc\\passwd\0\0\0", 19));
         },
         "Unable to apply patch - the path '..\\..\\etc\\passwd' would be written outside the "
         "release directory",
         true},
        {"a block header", [&](std::string &b) { b[first_block] ^= 1; }, "Invalid Buffer Header",
         false},
        {"a cut-off file", [&](std::string &b) { b.resize(b.size() - 10); }, "Error reading file ",
         false},
        {"a shorter length", [&](std::string &b) { b[761 + 2] = 1; },
         "the blocks of '\\kova2000\\abc\\a.dat' do not add up to its length", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good;
        c.damage(bytes);
        write_file(patch_, bytes);
        RunResult r = kvz({"verify", patch_});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.problem), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        EXPECT_EQ(kvz({"list", patch_}).status, c.listable ? 0 : 1);
    }
    EXPECT_FALSE(fs::exists(host("KOVABrisel/setup.log"))) << "kvz logs nothing";
}

// The plan, then the install on the same trees: every tree and component as planned.
TEST_F(KvzCommands, PlanMatchesWhatInstallingDoes) {
    if (kova_test::under_wine())
        GTEST_SKIP() << "Wine reports no volume for a drive linked while it runs";
    tree("KOVABrisel");
    tree("kova2006");
    installed("KOVABrisel/abc/a.dat", "old", 2025);
    installed("KOVABrisel/abc/text.txt", text_bytes(100000), 2026, 6, 2); // the same stamp
    installed("kova2006/abc/a.dat", "old", 2025);
    installed("kova2006/abc/noise.dll", "later", 2030); // libraries are not compared
    std::string menu = component("kova2000/abc/menus/abcm1.kvm", "menu", 2026);
    patch_ = build("fix", {menu});

    auto before = snapshot(server_);
    RunResult r = kvz({"plan", "S:\\source\\patches\\fix.kvz", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(snapshot(server_), before) << "planning changes nothing";
    json plan = json::parse(r.out);
    EXPECT_EQ(plan["installation"], "S:\\KOVABrisel\\");
    EXPECT_EQ(plan["installs"], true);
    ASSERT_EQ(plan["trees"].size(), 2u) << "the walk stops at the missing \\kova2004\\";
    EXPECT_EQ(plan["trees"][0]["release_dir"], "S:\\KOVABrisel\\");
    EXPECT_EQ(plan["trees"][1]["release_dir"], "S:\\kova2006\\");
    std::map<std::string, std::string> actions;
    for (const json &tree : plan["trees"]) {
        EXPECT_EQ(tree["rebuilds"], json::array({"menus"}));
        for (const json &c : tree["components"])
            actions[c["target"].get<std::string>()] = c["action"].get<std::string>();
    }
    const std::map<std::string, std::string> expected = {
        {"S:\\KOVABrisel\\abc\\a.dat", "replace"},
        {"S:\\KOVABrisel\\abc\\text.txt", "same"},
        {"S:\\KOVABrisel\\abc\\noise.dll", "new"},
        {"S:\\KOVABrisel\\abc\\menus\\abcm1.kvm", "new"},
        {"S:\\kova2006\\abc\\a.dat", "replace"},
        {"S:\\kova2006\\abc\\text.txt", "new"},
        {"S:\\kova2006\\abc\\noise.dll", "replace"},
        {"S:\\kova2006\\abc\\menus\\abcm1.kvm", "new"},
    };
    EXPECT_EQ(actions, expected);
    json first = plan["trees"][0]["components"][0];
    EXPECT_EQ(first["stamp"], "2026-06-01 12:00:00");
    EXPECT_EQ(first["installed_stamp"], "2025-01-01 12:00:00");

    RunResult installed_run = install("S:\\source\\patches\\fix.kvz");
    ASSERT_EQ(installed_run.status, 0) << setup_log();
    for (const auto &[target, action] : expected) {
        std::string relative = target.substr(3);
        for (char &c : relative)
            if (c == '\\') c = '/';
        std::string source = relative.substr(relative.find('/'));
        EXPECT_EQ(read_file(host(relative)), read_file(dev_ + "/kova2000" + source)) << target;
    }

    // Now a later revision in the second tree: planned as refused there, and so it goes.
    installed("kova2006/abc/a.dat", "later", 2030);
    patch_ = build("fix2", {component("kova2000/abc/a.dat", "newer", 2027)});
    before = snapshot(server_);
    r = kvz({"plan", "S:\\source\\patches\\fix2.kvz", "--json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(server_), before);
    plan = json::parse(r.out);
    EXPECT_EQ(plan["installs"], false);
    ASSERT_EQ(plan["trees"].size(), 2u);
    EXPECT_EQ(plan["trees"][0]["components"][0]["action"], "replace");
    EXPECT_EQ(plan["trees"][1]["components"][0]["action"], "refused: later revision");
    EXPECT_EQ(plan["trees"][1]["refused"], true);
    RunResult text = kvz({"plan", "S:\\source\\patches\\fix2.kvz"});
    EXPECT_NE(text.out.find("refused: later revision   S:\\kova2006\\abc\\a.dat  (2027-06-01 "
                            "12:00:00, installed 2030-01-01 12:00:00)"),
              std::string::npos)
        << text.out;

    EXPECT_EQ(install("S:\\source\\patches\\fix2.kvz").status, 1);
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "newer");
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "later");

    // The undo patch of the first tree undoes the whole first run, tree by tree.
    r = kvz({"plan", "S:\\KOVABrisel\\unpatch\\0.kvz", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    plan = json::parse(r.out);
    ASSERT_EQ(plan["trees"].size(), 2u);
    EXPECT_EQ(plan["trees"][1]["patch"], "S:\\kova2006\\unpatch\\0.kvz");
    std::map<std::string, std::string> undo;
    for (const json &tree : plan["trees"])
        for (const json &c : tree["components"])
            undo[c["target"].get<std::string>()] = c["action"].get<std::string>();
    EXPECT_EQ(undo["S:\\KOVABrisel\\abc\\a.dat"], "replace");
    EXPECT_EQ(undo["S:\\KOVABrisel\\abc\\text.txt"], "same");
    EXPECT_EQ(undo["S:\\kova2006\\abc\\a.dat"], "replace");
    EXPECT_EQ(undo["S:\\kova2006\\abc\\text.txt"], "remove");
    EXPECT_EQ(undo["S:\\kova2006\\abc\\menus\\abcm1.kvm"], "remove");
    ASSERT_EQ(install("S:\\KOVABrisel\\unpatch\\0.kvz").status, 0) << setup_log();
    EXPECT_EQ(read_file(host("KOVABrisel/abc/a.dat")), "old");
    EXPECT_EQ(read_file(host("kova2006/abc/a.dat")), "old");
    EXPECT_FALSE(fs::exists(host("kova2006/abc/text.txt")));
    EXPECT_FALSE(fs::exists(host("kova2006/abc/menus/abcm1.kvm")));
}

TEST_F(KvzCommands, PlanNeedsAnInstallation) {
    if (kova_test::under_wine())
        GTEST_SKIP() << "Wine reports no volume for a drive linked while it runs";
    RunResult r = kvz({"plan", patch_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No installation at S:\\KOVABrisel\\"), std::string::npos) << r.err;
    tree("kova2006");
    r = kvz({"plan", patch_, "--home", "S:\\kova2006"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("into the installation at S:\\kova2006\\"), std::string::npos);
}

TEST_F(KvzCommands, ExtractWritesBelowTheFolderOnlyAndReplacesNothing) {
    kova_test::TempDir out;
    RunResult r = kvz({"extract", patch_, out.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("3 components extracted"), std::string::npos);
    EXPECT_EQ(read_file(out / "kova2000/abc/a.dat"), "new");
    EXPECT_EQ(read_file(out / "kova2000/abc/text.txt"), text_bytes(100000));
    EXPECT_EQ(read_file(out / "kova2000/abc/noise.dll"), random_bytes(32769));
    EXPECT_EQ(fs::last_write_time(out / "kova2000/abc/noise.dll"),
              fs::last_write_time(dev_ + "/kova2000/abc/noise.dll"));

    // Again into the same folder: refused as a whole, nothing replaced.
    write_file(out / "kova2000/abc/a.dat", "mine");
    r = kvz({"extract", patch_, out.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("exists already; nothing was written"), std::string::npos);
    EXPECT_EQ(read_file(out / "kova2000/abc/a.dat"), "mine");

    // A stored path that climbs out: refused before anything is written.
    std::string bytes = read_file(patch_);
    size_t at = bytes.find("\\kova2000\\abc\\text.txt");
    bytes.replace(at, 22, std::string("..\\..\\escaped.kvo\0\0\0\0\0", 22));
    write_file(patch_, bytes);
    kova_test::TempDir second;
    r = kvz({"extract", patch_, second / "inner"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'..\\..\\escaped.kvo' would be written outside the folder"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_empty(second.path()));
}

TEST_F(KvzCommands, DiffNamesAddedRemovedAndChangedComponents) {
    std::string other = build("fix2", {component("kova2000/abc/a.dat", "newer", 2027), text_,
                                       component("kova2000/abc/b.dat", "b", 2026)});
    RunResult r = kvz({"diff", patch_, other});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "- \\kova2000\\abc\\noise.dll\n"
                     "~ \\kova2000\\abc\\a.dat  (contents, length 3 -> 5, stamp 2026-06-01 "
                     "12:00:00 -> 2027-06-01 12:00:00)\n"
                     "+ \\kova2000\\abc\\b.dat  (1 bytes, 2026-06-01 12:00:00)\n");
    r = kvz({"diff", patch_, patch_});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(kvz({"diff", patch_, "S:\\none.kvz"}).status, 2);
}

TEST_F(KvzCommands, UsageMistakesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {{}, "kvz: no command"},
        {{"lst", patch_}, "kvz: unknown command lst"},
        {{"list"}, "kvz: wrong number of operands for list"},
        {{"list", patch_, "--jsn"}, "kvz: unknown option --jsn"},
        {{"sign", patch_}, "kvz: sign needs one --key NAME.key"},
    };
    for (const Case &c : cases) {
        RunResult r = kvz(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
    EXPECT_EQ(kvz({"--help"}).status, 0);
}

} // namespace
