// A stand-in mail client for the Simple MAPI tests, on every host: on POSIX an xdg-email on
// PATH behind the platform's built-in MAPI32, on Windows the test MAPI32.DLL next to the test
// programs. Only where it comes from differs; what reached it reads the same.
#pragma once

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

} // namespace mail_test
