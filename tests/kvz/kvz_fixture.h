// Test scene for kvz and signed patches: a server drive S: with an installation named by the
// registry for unattended runs, a release builder's drive D:, patches built by the real
// kvpatch, and copies of kvpatch and kvz in a folder of their own with their kvpatch.ini.
#pragma once

#include "platform/win32.h"
#include "tests/patch/patch_files.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kvz_test {

using kova_test::read_file;
using kova_test::RunResult;
using kova_test::write_file;
using patch_test::set_mtime;

class Scene : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = prefix_.map_drive('s');
        dev_ = prefix_.map_drive('d');
        patch_test::set_service_data_home("S:\\KOVABrisel\\");
        for (const char *program : {"kvpatch", "kvz"}) {
            std::filesystem::copy_file(kova_test::program(program), tool(program));
        }
    }

    // A release tree with its marker and settings.
    void tree(const std::string &dir, int release = 21) {
        write_file(host(dir + "/kova.kvk"), "");
        write_file(host(dir + "/kova.ini"),
                   "[system]\r\nrelease=" + std::to_string(release) + "\r\n");
    }
    // An installed file below S: with its last-write time (year, month, day at noon).
    void installed(const std::string &relative, const std::string &content, int year, int month = 1,
                   int day = 1) {
        write_file(host(relative), content);
        set_mtime(host(relative), year, month, day, 12, 0, 0);
    }
    // A component on the builder's drive D:, stamped likewise.
    std::string component(const std::string &relative, const std::string &content, int year,
                          int month = 6, int day = 1) {
        write_file(dev_ + "/" + relative, content);
        set_mtime(dev_ + "/" + relative, year, month, day, 12, 0, 0);
        std::string dos = "D:\\" + relative;
        for (char &c : dos)
            if (c == '/') c = '\\';
        return dos;
    }
    // Builds S:\source\patches\NAME.kvz with the real kvpatch, one component at a time;
    // answers the patch's host path.
    std::string build(const std::string &name, const std::vector<std::string> &components) {
        for (const std::string &file : components) {
            RunResult r = kova_test::run({tool("kvpatch"), name, file}, {}, "", server_cwd());
            EXPECT_EQ(r.status, 0) << file << "\n" << r.err;
        }
        return host("source/patches/" + name + ".kvz");
    }

    RunResult kvz(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {tool("kvz")};
        for (const std::string &arg : args) argv.push_back(kova_test::native_path(arg));
        return kova_test::run(argv, {}, "", server_);
    }
    // Installs unattended with the copy of kvpatch that reads tools/kvpatch.ini.
    RunResult install(const std::string &patch) {
        return kova_test::run({tool("kvpatch"), kova_test::native_path(patch)}, {}, "", server_);
    }
    // Patches are built on the current drive: S:. (Other runs stay off it: Wine cannot tell
    // the volume of a drive linked while it runs from a process whose current drive it is.)
    std::string server_cwd() const { return kova_test::TempPrefix::drive_cwd('s', server_); }
    // The copy of a program in the tools folder.
    std::string tool(const std::string &name) const {
        return tools_ / (name + kova_test::program_suffix);
    }
    void settings(const std::string &patch_section) {
        write_file(tools_ / "kvpatch.ini", "[patch]\r\n" + patch_section);
    }

    std::string host(const std::string &relative) const { return server_ + "/" + relative; }
    std::string setup_log(const std::string &tree = "KOVABrisel") const {
        return read_file(host(tree + "/setup.log"));
    }

    kova_test::TempPrefix prefix_;
    kova_test::TempDir tools_;
    std::string server_, dev_;
};

} // namespace kvz_test
