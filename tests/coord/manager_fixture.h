// Running the real managers for a test: a private prefix with the data home on drive D:, the
// manager programs as child processes that are always stopped, and waiting for their address
// files.
#pragma once

#include "kernel/coord/conn.h"
#include "kernel/files/install.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kova_test {

// A program started in the background, its standard error kept in a file. It is killed when
// the object goes, if it has not ended by then.
class Background {
public:
    Background(const std::vector<std::string> &argv, const std::string &log_path) : log_(log_path) {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) dup2(fd, 2);
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) dup2(null, 0), dup2(null, 1);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Background() {
        if (status_ < 0 && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    void signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }
    // The exit status (128 + signal when killed), or -1 while it still runs after `timeout`.
    int wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (status_ < 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    bool running() { return wait(std::chrono::milliseconds(0)) < 0; }
    std::string log() const { return read_file(log_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_;
};

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
        // The suite client needs no data home.
        std::vector<std::string> argv = {kova_test::program(program)};
        if (program != "kvclient") argv.push_back(home_);
        argv.insert(argv.end(), extra.begin(), extra.end());
        std::string log = home_ + "/" + program + std::to_string(managers_.size()) + ".log";
        managers_.push_back(std::make_unique<Background>(argv, log));
        Background &b = *managers_.back();
        uint16_t id = program == "kvqm"   ? DXI_CONN_QUEUE_MANAGER
                      : program == "kvfm" ? DXI_CONN_FILE_MANAGER
                                          : 0;
        if (id) {
            bool up = eventually([&] {
                return std::filesystem::file_size(address_file(id), ec_) == DXI_CONN_ADDRESS_SIZE ||
                       !b.running();
            });
            EXPECT_TRUE(up && b.running()) << program << " did not start: " << b.log();
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
