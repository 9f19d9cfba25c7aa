// Test support for mail: a stand-in mail client on the search path that records what it is
// given, a loopback SMTP server that records what it receives, and a screen that records
// boxes and types keys into prompt pages.
#pragma once

#include "kernel/ui/presenter.h"
#include "kernel/ui/tin.h"
#include "tests/support/testing.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace mail_test {

// PATH holds only one folder while the object lives: with `client_exit` >= 0 it has an
// xdg-email that records its arguments and ends with that status; with -1 it has none.
class MailClient {
public:
    // `extra` is shell run before the client ends (its arguments are in "$@").
    explicit MailClient(int client_exit = 0, const std::string &extra = {}) {
        if (const char *path = std::getenv("PATH")) old_path_ = path;
        if (client_exit >= 0) {
            kova_test::write_file(
                dir_ / "xdg-email",
                "#!/bin/sh\n: > \"$0.args\"\n"
                "for a in \"$@\"; do printf '%s\\000' \"$a\" >> \"$0.args\"; done\n" +
                    extra + "\nexit " + std::to_string(client_exit) + "\n");
            std::filesystem::permissions(dir_ / "xdg-email", std::filesystem::perms::owner_all);
        }
        setenv("PATH", dir_.path().c_str(), 1);
    }
    ~MailClient() { setenv("PATH", old_path_.c_str(), 1); }
    MailClient(const MailClient &) = delete;
    MailClient &operator=(const MailClient &) = delete;

    bool ran() const { return std::filesystem::exists(dir_ / "xdg-email.args"); }
    // The arguments of the last run.
    std::vector<std::string> args() const {
        std::string all = kova_test::read_file(dir_ / "xdg-email.args");
        std::vector<std::string> out;
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find('\0', at);
            out.push_back(all.substr(at, end - at));
            at = end + 1;
        }
        return out;
    }
    // The value following `option` in the last run, or "<missing>".
    std::string option(const std::string &name) const {
        std::vector<std::string> all = args();
        for (size_t i = 0; i + 1 < all.size(); ++i)
            if (all[i] == name) return all[i + 1];
        return "<missing>";
    }

private:
    kova_test::TempDir dir_;
    std::string old_path_;
};

// A message as the SMTP server received it: its summary lines by name (repeated names, such
// as attachments, in order).
struct Received {
    std::multimap<std::string, std::string> lines;
    std::string get(const std::string &name) const {
        auto it = lines.find(name);
        return it == lines.end() ? "<missing>" : it->second;
    }
    std::vector<std::string> all(const std::string &name) const {
        std::vector<std::string> out;
        for (auto [it, end] = lines.equal_range(name); it != end; ++it) out.push_back(it->second);
        return out;
    }
};

inline std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// The SMTP server of tests/mail/smtp_sink.py on 127.0.0.1, stopped when the object goes.
class SmtpSink {
public:
    explicit SmtpSink(const std::string &user = {}, const std::string &password = {}) {
        std::string script = std::string(KOVA_SOURCE_DIR) + "/tests/mail/smtp_sink.py";
        std::vector<std::string> argv{"/usr/bin/python3", script, dir_.path()};
        if (!user.empty()) argv.insert(argv.end(), {user, password});
        std::vector<char *> args;
        for (std::string &a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), environ) != 0) pid_ = -1;
        for (int i = 0; i < 200 && pid_ > 0 && port_.empty(); ++i) {
            port_ = kova_test::read_file(dir_ / "port");
            if (port_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~SmtpSink() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    SmtpSink(const SmtpSink &) = delete;
    SmtpSink &operator=(const SmtpSink &) = delete;

    bool ready() const { return !port_.empty(); }
    std::string address() const { return "127.0.0.1:" + port_; }
    // Waits up to ten seconds for message `n` (from 1).
    bool wait_for(int n, Received *message) const {
        std::string name = dir_ / ("message-" + std::to_string(n) + ".txt");
        for (int i = 0; i < 200; ++i) {
            std::string text = kova_test::read_file(name);
            if (!text.empty()) {
                message->lines.clear();
                for (size_t at = 0; at < text.size();) {
                    size_t end = text.find('\n', at);
                    std::string line = text.substr(at, end - at);
                    size_t colon = line.find(": ");
                    if (colon != std::string::npos)
                        message->lines.emplace(line.substr(0, colon), line.substr(colon + 2));
                    at = end == std::string::npos ? text.size() : end + 1;
                }
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    int messages() const {
        int n = 0;
        while (std::filesystem::exists(dir_ / ("message-" + std::to_string(n + 1) + ".txt"))) ++n;
        return n;
    }

private:
    kova_test::TempDir dir_;
    pid_t pid_ = -1;
    std::string port_;
};

// An operator at a screen: boxes are recorded (and answered OK), prompt pages take their keys
// from a queue (Escape once it runs dry).
class Screen {
public:
    Screen() : saved_(fxp_presenter), saved_keys_(fxp_term_tin_key) {
        current() = this;
        fxp_presenter.desktop_visible = [] { return true; };
        fxp_presenter.beep = [](UINT) {};
        fxp_presenter.box = [](HWND, const char *text, const char *, UINT) {
            current()->boxes.push_back(text ? text : "");
            return static_cast<int>(IDOK);
        };
        fxp_term_tin_key = [] {
            std::deque<int> &keys = current()->keys;
            if (keys.empty()) return static_cast<int>(DXP_KEY_ESCAPE);
            int key = keys.front();
            keys.pop_front();
            return key;
        };
    }
    ~Screen() {
        fxp_presenter = saved_;
        fxp_term_tin_key = saved_keys_;
        current() = nullptr;
    }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    // Queues the characters of `text` (carriage returns are Enter).
    void type(const std::string &text) {
        for (unsigned char c : text) keys.push_back(c == '\r' ? int{DXP_KEY_ENTER} : int{c});
    }

    std::vector<std::string> boxes;
    std::deque<int> keys;

private:
    static Screen *&current() {
        static Screen *screen = nullptr;
        return screen;
    }
    TXP_PRESENTER saved_;
    int (*saved_keys_)();
};

} // namespace mail_test
