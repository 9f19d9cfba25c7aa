// Test helpers for patch files: an installation on drive S: of a private prefix, and a reader
// that lists what a patch holds.
#pragma once

#include "kernel/files/install.h"
#include "kernel/files/paths.h"
#include "patch/format.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace patch_test {

struct Entry {
    std::string path;
    uint32_t length = 0;
    TXD_CLOCK stamp{};
    std::string data;
    std::vector<uint16_t> stored; // stored length of each block
};

struct Patch {
    PATCH_FILE_HEADER header;
    std::vector<Entry> entries;
    bool sound = false;
};

// Walks a patch file as a reader would; `sound` is false at the first fault.
inline Patch read_patch(const std::string &host_path) {
    Patch patch;
    std::string bytes = kova_test::read_file(host_path);
    auto at = [&](size_t offset) {
        return reinterpret_cast<const uint8_t *>(bytes.data()) + offset;
    };
    if (bytes.size() < PATCH_FILE_HEADER_SIZE) return patch;
    patch_decode_file_header(at(0), patch.header);
    size_t offset = PATCH_FILE_HEADER_SIZE;
    size_t component_size = patch_component_header_size(patch.header.version);
    std::vector<uint8_t> out(PATCH_BLOCK_SIZE);
    while (offset < bytes.size()) {
        if (offset + component_size > bytes.size()) return patch;
        PATCH_COMPONENT_HEADER header;
        patch_decode_component_header(at(offset), patch.header.version, header);
        offset += component_size;
        Entry entry{header.path, header.length, header.stamp, {}, {}};
        while (entry.data.size() < entry.length) {
            if (offset + PATCH_BUFFER_HEADER_SIZE > bytes.size()) return patch;
            PATCH_BUFFER_HEADER block;
            patch_decode_buffer_header(at(offset), block);
            offset += PATCH_BUFFER_HEADER_SIZE;
            if (block.magic != PATCH_BUFFER_MAGIC || offset + block.stored_length > bytes.size())
                return patch;
            uint32_t produced = 0;
            if (!patch_expand_block(block, at(offset), out.data(), &produced)) return patch;
            offset += block.stored_length;
            entry.data.append(reinterpret_cast<char *>(out.data()), produced);
            entry.stored.push_back(block.stored_length);
        }
        patch.entries.push_back(std::move(entry));
    }
    patch.sound = true;
    return patch;
}

inline std::vector<std::string> paths_of(const Patch &patch) {
    std::vector<std::string> paths;
    for (const Entry &e : patch.entries) paths.push_back(e.path);
    return paths;
}

// Names the installation unattended runs work on: the registry's ServiceDataHome.
inline void set_service_data_home(const char *home) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\KOVA Business Software", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "ServiceDataHome", 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(home),
                             static_cast<DWORD>(std::strlen(home) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Sets a host file's last-write time to a local calendar moment (even seconds survive the
// file layer's 2-second resolution).
inline void set_mtime(const std::string &host_path, int year, int month, int day, int hour,
                      int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    std::filesystem::last_write_time(host_path, std::chrono::file_clock::from_sys(when));
}

// A private prefix with drive S: as the current drive and its data home on S:, unattended.
class Installation : public ::testing::Test {
protected:
    void SetUp() override {
        saved_cwd_ = std::filesystem::current_path();
        server_ = prefix_.map_drive('s');
        std::filesystem::current_path(server_);
        std::filesystem::create_directories(server_ + "/home");
        fxi_set_data_home("S:\\home\\");
        fxi_set_program_dir("S:\\home\\");
        fxi_set_release(0);
        fxi_clear_option(248);
    }
    void TearDown() override { std::filesystem::current_path(saved_cwd_); }

    // The host path of a file below drive S:, given in host form ("kova2000/abc/x.dat").
    std::string host(const std::string &relative) const { return server_ + "/" + relative; }
    std::string setup_log() const { return kova_test::read_file(host("home/setup.log")); }

    kova_test::TempPrefix prefix_;
    std::string server_;
    std::filesystem::path saved_cwd_;
};

} // namespace patch_test
