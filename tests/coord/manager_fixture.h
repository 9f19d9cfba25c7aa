// Running the real managers for a test: a private prefix with the data home on drive D:, the
// manager programs as child processes that are always stopped, and waiting for their address
// files.
#pragma once

#include "kernel/coord/conn.h"
#include "kernel/coord/queue.h"
#include "kernel/files/install.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
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

// Queue records of 1, 504 and 4,000 bytes written by one client and read by the other: one
// chunk, and replies of several. Each exchange gets its own reply, and none is left over.
inline void expect_records_of_every_size(CXI_QUEUE_SYSTEM &writer, CXI_QUEUE_SYSTEM &reader,
                                         const std::string &prefix, const Child &manager) {
    for (uint16_t size : {uint16_t(1), uint16_t(504), uint16_t(4000)}) {
        SCOPED_TRACE(size);
        std::string name = prefix + std::to_string(size);
        TXI_QUEUE made, opened;
        ASSERT_EQ(0, writer.make(name.c_str(), size, 1, &made));
        ASSERT_EQ(0, reader.open(name.c_str(), size, &opened));
        std::vector<uint8_t> data(size), back(size, 0);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + size);
        ASSERT_EQ(0, writer.write(&made, data.data(), 1)) << manager.output();
        ASSERT_EQ(0, reader.read(&opened, back.data(), 0));
        EXPECT_EQ(data, back);
        EXPECT_EQ(DXI_QUEUE_EMPTY, reader.read(&opened, back.data(), 1));
    }
}

// Semaphore exchanges back to back on a thread of their own, so that a kill lands in the middle
// of one; answers once they are under way, with the status of the first that fails to come.
inline std::future<uint16_t> exchange_until_failure(CXI_QUEUE_SYSTEM &system, TXI_QUEUE &sem) {
    auto running = std::make_shared<std::atomic<bool>>(false);
    auto exchanges = std::async(std::launch::async, [&system, &sem, running] {
        uint16_t status = 0;
        while (status == 0) {
            *running = true;
            status = system.sem_write(&sem, 0);
            if (status == 0) status = system.sem_read(&sem, 0);
        }
        return status;
    });
    EXPECT_TRUE(eventually([&] { return running->load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return exchanges;
}

// The body of a child test of this program (run with KOVA_TEST_CHILD set): takes the semaphore
// `name` from the queue manager of drive D: over `transport` and holds it until killed.
inline void hold_semaphore_until_killed(TXI_CONN_TRANSPORT transport, const char *name) {
    fxi_set_data_home("D:\\");
    fxi_load_installation();
    fxi_conn_init();
    CXI_QUEUE_SYSTEM system;
    ASSERT_EQ(0, system.connect());
    ASSERT_EQ(transport, system.connection().transport());
    TXI_QUEUE sem;
    ASSERT_EQ(0, system.sem_make(name, &sem));
    std::printf("HOLDING\n");
    std::fflush(stdout);
    for (;;) Sleep(1000);
}

// Runs the child test `child_test`, which holds the semaphore `name`, and kills it: the manager
// must notice the holder's end and give the semaphore back to this client.
inline void expect_semaphore_freed_when_holder_killed(const std::string &child_test,
                                                      const char *name, const Child &manager) {
    constexpr int kill_signal = 9;
    std::string self = self_program();
    ASSERT_NE(self, "");
    Child holder({self, "--gtest_filter=" + child_test}, {{"KOVA_TEST_CHILD", "1"}});
    ASSERT_TRUE(eventually([&] { return holder.output().find("HOLDING") != std::string::npos; }))
        << holder.output();
    CXI_QUEUE_SYSTEM system;
    ASSERT_EQ(0, system.connect());
    TXI_QUEUE sem;
    ASSERT_EQ(0, system.sem_open(name, &sem));
    EXPECT_NE(0, system.sem_read(&sem, 1)); // held by the child
    holder.signal(kill_signal);
    EXPECT_EQ(128 + kill_signal, holder.wait());
    EXPECT_TRUE(eventually([&] { return system.sem_read(&sem, 1) == 0; })) << manager.output();
    system.disconnect();
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
