// Running the real managers for a test: a private prefix with the data home on drive D:, the
// manager programs as child processes that are always stopped, and waiting for their address
// files.
#pragma once

#include "kernel/coord/conn.h"
#include "kernel/files/install.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kova_test {

// A manager started in the background for a test; killed when the object goes.
using Background = Child;

// Waits until `pred` holds, for up to `timeout`.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A prefix whose drive D: holds the data home with its kova.ini; the connection layer is
// started and the kernel's data home points there.
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = prefix_.map_drive('d');
        write_ini("[system]\r\nrelease=24\r\nusers=62\r\n");
        fxi_set_data_home("D:\\");
        fxi_load_installation();
        fxk_debug_trace_reset();
        fxi_conn_init();
    }
    void TearDown() override {
        managers_.clear();
        fxi_conn_term();
    }

    void write_ini(const std::string &text) { write_file(home_ + "/kova.ini", text); }
    std::string address_file(uint16_t manager) const {
        char name[16];
        std::snprintf(name, sizeof name, "kova%04X.adr", manager);
        return home_ + "/" + name;
    }

    // Starts a manager program on the data home and waits for it to publish its address (for
    // kvqm and kvfm) or to get going (the others).
    Background &start(const std::string &program, std::vector<std::string> extra = {}) {
        // The suite client needs no data home; the managers are given it as the suite names
        // it, which a Windows program can open.
        std::vector<std::string> argv = {kova_test::program(program)};
        if (program != "kvclient") argv.push_back("D:\\");
        argv.insert(argv.end(), extra.begin(), extra.end());
        managers_.push_back(std::make_unique<Background>(argv));
        Background &b = *managers_.back();
        uint16_t id = program == "kvqm"   ? DXI_CONN_QUEUE_MANAGER
                      : program == "kvfm" ? DXI_CONN_FILE_MANAGER
                                          : 0;
        if (id) {
            bool up = eventually([&] {
                return std::filesystem::file_size(address_file(id), ec_) == DXI_CONN_ADDRESS_SIZE ||
                       !b.running();
            });
            EXPECT_TRUE(up && b.running()) << program << " did not start: " << b.output();
        }
        return b;
    }

    // The port the manager published in its address file.
    uint16_t published_port(uint16_t manager) const {
        std::string bytes = read_file(address_file(manager));
        if (bytes.size() != DXI_CONN_ADDRESS_SIZE) return 0;
        return static_cast<uint16_t>(static_cast<uint8_t>(bytes[14]) << 8 |
                                     static_cast<uint8_t>(bytes[15]));
    }

    TempPrefix prefix_;
    std::string home_;
    std::vector<std::unique_ptr<Background>> managers_;
    mutable std::error_code ec_;
};

} // namespace kova_test
