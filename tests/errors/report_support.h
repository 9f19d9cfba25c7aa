// Running the error report and crashes in child processes of the test program: a prefix whose
// drive D: holds an installation of company ABC, the child's own set-up, and reading what the
// child left behind (kovaerr.log, postmortem files, ZIP archives).
#pragma once

#include "kernel/errors/report.h"
#include "kernel/files/install.h"
#include "tests/errors/zip_entries.h"
#include "tests/support/testing.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace report_test {

inline bool in_child() {
    return std::getenv("KOVA_TEST_CHILD") != nullptr;
}

inline std::string self() {
    return kova_test::self_program();
}

// The child's side: the installation on D:, its temporary directory, and the sign-on facts of
// a function "Stock valuation" run by "pat".
inline void child_setup() {
    fxi_set_data_home("D:\\");
    fxi_load_installation();
    fxi_set_temp_dir("D:\\temp\\");
    TXK_SIGNON &facts = fxk_signon();
    facts.function = "Stock valuation";
    facts.user_id = "pat";
    facts.version = "Version 7.1";
}

// The separator that ends each block of kovaerr.log.
inline const std::string separator = std::string(80, '-') + "\r\n";

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = prefix_.map_drive('d');
        kova_test::write_file(home_ + "/kova.ini",
                              "[system]\r\ncompany=ABC\r\nname=Main system\r\nusers=8\r\n");
        kova_test::write_file(home_ + "/kovaABC.ini", "[company]\r\nname=Acme Ltd\r\n");
        std::filesystem::create_directories(home_ + "/temp");
    }

    // Runs the child test `name` of suite `suite` with further arguments and environment.
    kova_test::RunResult child(const std::string &suite, const std::string &name,
                               const std::vector<std::string> &args = {},
                               std::map<std::string, std::string> env = {}) {
        env["KOVA_TEST_CHILD"] = "1";
        std::vector<std::string> argv = {self(), "--gtest_filter=" + suite + "." + name};
        argv.insert(argv.end(), args.begin(), args.end());
        return kova_test::run(argv, env);
    }

    std::string log() const { return kova_test::read_file(home_ + "/kovaerr.log"); }

    // The blocks of kovaerr.log, each without its separator.
    std::vector<std::string> blocks() const {
        std::vector<std::string> out;
        std::string text = log();
        size_t at = 0, end;
        while ((end = text.find(separator, at)) != std::string::npos) {
            out.push_back(text.substr(at, end - at));
            at = end + separator.size();
        }
        EXPECT_EQ(at, text.size()) << "the log ends with a separator";
        return out;
    }

    // The host path of a DOS path on D:.
    std::string host(const std::string &dos) const {
        EXPECT_EQ(dos.substr(0, 3), "D:\\") << dos;
        std::string rest = dos.substr(3);
        for (char &c : rest)
            if (c == '\\') c = '/';
        return home_ + "/" + rest;
    }

    // The entries of a ZIP archive as name and content, read by Python's zipfile, a reader
    // apart from the writer; Windows programs cannot run the host's Python, and read it with
    // libzip.
    std::map<std::string, std::string> unzip(const std::string &archive) {
        if (kova_test::on_windows()) {
            auto entries = zip_entries(archive);
            EXPECT_FALSE(entries.empty()) << archive << " is no sound archive";
            return entries;
        }
        kova_test::TempDir out;
        auto r = kova_test::run({"python3", "-c",
                                 "import sys, zipfile\n"
                                 "z = zipfile.ZipFile(sys.argv[1])\n"
                                 "assert z.testzip() is None\n"
                                 "z.extractall(sys.argv[2])\n"
                                 "print('\\n'.join(z.namelist()))\n",
                                 archive, out.path()});
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> entries;
        size_t at = 0, end;
        while ((end = r.out.find('\n', at)) != std::string::npos) {
            std::string name = r.out.substr(at, end - at);
            entries[name] = kova_test::read_file(out / name);
            at = end + 1;
        }
        return entries;
    }

    kova_test::TempPrefix prefix_;
    std::string home_;
};

// Text after `marker` up to the next "]" in `text`; empty when the marker is missing.
inline std::string tagged(const std::string &text, const std::string &marker) {
    size_t at = text.find(marker + "[");
    if (at == std::string::npos) return {};
    at += marker.size() + 1;
    return text.substr(at, text.find(']', at) - at);
}

} // namespace report_test
