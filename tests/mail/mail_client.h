// A stand-in mail client for the Simple MAPI tests, on every host: on POSIX an xdg-email on
// PATH behind the platform's built-in MAPI32, on Windows the test MAPI32.DLL next to the test
// programs. Only where it comes from differs; what reached it reads the same.
#pragma once

#include "kernel/mail/mail.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace mail_test {

enum class ClientKind {
    working, // takes every message
    absent,  // there is no mail client
    failing, // every send fails (MAPI_E_FAILURE)
};

// The last message the client was given, as it shows it.
struct HandedOver {
    std::string subject, body;            // UTF-8, "<missing>" when not given
    std::vector<std::string> recipients;  // addresses, in order
    std::vector<std::string> attachments; // paths a test can read the file by
};

// The client is there, as `kind` says, while the object lives.
class StandInClient {
public:
    explicit StandInClient(ClientKind kind = ClientKind::working);
    ~StandInClient();
    StandInClient(const StandInClient &) = delete;
    StandInClient &operator=(const StandInClient &) = delete;

    bool ran() const; // whether a message reached the client
    HandedOver message() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Drive M: with two patches to attach (M:\p\fix1.kvz and M:\p\two.kvz); each test ends
// logged off with the library unloaded.
class MapiTest : public testing::Test {
protected:
    void SetUp() override {
        drive_ = prefix_.map_drive('M');
        kova_test::write_file(drive_ + "/p/fix1.kvz", "patch");
        kova_test::write_file(drive_ + "/p/two.kvz", "2");
    }
    void TearDown() override { (void)fxk_mapi_logoff(); }
    kova_test::TempPrefix prefix_;
    std::string drive_;
};

} // namespace mail_test
