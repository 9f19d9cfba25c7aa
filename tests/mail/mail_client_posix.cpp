// The stand-in mail client on POSIX: xdg-email on PATH, which the platform's MAPI32 runs.
#include "tests/mail/mail_client.h"
#include "tests/mail/mail_support.h"

#include <algorithm>
#include <cstddef>

namespace mail_test {

struct StandInClient::State {
    explicit State(ClientKind kind)
        : client(kind == ClientKind::absent    ? -1
                 : kind == ClientKind::failing ? 4
                                               : 0) {}
    MailClient client;
};

StandInClient::StandInClient(ClientKind kind) : state_(std::make_unique<State>(kind)) {}
StandInClient::~StandInClient() = default;

bool StandInClient::ran() const {
    return state_->client.ran();
}

HandedOver StandInClient::message() const {
    HandedOver out;
    out.subject = state_->client.option("--subject");
    out.body = state_->client.option("--body");
    std::vector<std::string> args = state_->client.args();
    // Options and their values first, then the recipients.
    size_t at = 1; // past --utf8
    while (at < args.size() && args[at].rfind("--", 0) == 0) {
        if (args[at] == "--attach" && at + 1 < args.size()) out.attachments.push_back(args[at + 1]);
        at += 2;
    }
    out.recipients.assign(args.begin() + static_cast<std::ptrdiff_t>(std::min(at, args.size())),
                          args.end());
    return out;
}

} // namespace mail_test
