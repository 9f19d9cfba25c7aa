// The test MAPI32.DLL's records on Windows, and the stand-in mail client built on it.
#include "tests/mail/mail_client.h"
#include "tests/mail/mapi32_record.h"

#include "platform/host.h"

#include <windows.h>

#include <stdexcept>

namespace mail_test {

std::string MapiCall::after(const std::string &key, size_t skip) const {
    for (size_t i = 0; i + 1 + skip < tokens.size(); ++i)
        if (tokens[i] == key) return tokens[i + 1 + skip];
    return "<missing>";
}

std::vector<std::vector<std::string>> MapiCall::groups(const std::string &key, size_t width) const {
    std::vector<std::vector<std::string>> out;
    for (size_t i = 0; i + width < tokens.size(); ++i)
        if (tokens[i] == key) {
            out.emplace_back(tokens.begin() + static_cast<std::ptrdiff_t>(i + 1),
                             tokens.begin() + static_cast<std::ptrdiff_t>(i + 1 + width));
            i += width;
        }
    return out;
}

namespace {

constexpr const char *mail_clients = "Software\\Clients\\Mail";

// Takes the default mail client's name away and answers it (empty when there was none).
std::string take_default_client(HKEY root) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, mail_clients, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return {};
    char name[256] = {};
    DWORD size = sizeof name - 1, type = 0;
    std::string taken;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(name), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ && name[0] && RegDeleteValueA(key, nullptr) == ERROR_SUCCESS)
        taken = name;
    RegCloseKey(key);
    return taken;
}

void put_default_client(HKEY root, const std::string &name) {
    HKEY key = nullptr;
    if (name.empty() || RegOpenKeyExA(root, mail_clients, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
    RegCloseKey(key);
}

} // namespace

std::string Mapi32Recorder::library_path() {
    char self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + "MAPI32.dll";
}

Mapi32Recorder::Mapi32Recorder(const std::string &failures, bool hidden) {
    record_.emplace("KOVA_TEST_MAPI_RECORD", dir_ / "record");
    failures_.emplace("KOVA_TEST_MAPI_FAIL", failures);
    // A run killed while the library was away left it hidden.
    std::string away = library_path() + ".hidden";
    if (GetFileAttributesA(library_path().c_str()) == INVALID_FILE_ATTRIBUTES)
        MoveFileA(away.c_str(), library_path().c_str());
    if (hidden) {
        hidden_as_ = away;
        if (!MoveFileA(library_path().c_str(), hidden_as_.c_str()))
            throw std::runtime_error("cannot move " + library_path() + " away (error " +
                                     std::to_string(GetLastError()) + ")");
        machine_client_ = take_default_client(HKEY_LOCAL_MACHINE);
        user_client_ = take_default_client(HKEY_CURRENT_USER);
    }
}

Mapi32Recorder::~Mapi32Recorder() {
    if (hidden_as_.empty()) return;
    MoveFileA(hidden_as_.c_str(), library_path().c_str());
    put_default_client(HKEY_LOCAL_MACHINE, machine_client_);
    put_default_client(HKEY_CURRENT_USER, user_client_);
}

std::vector<MapiCall> Mapi32Recorder::calls() const {
    std::string all = kova_test::read_file(dir_ / "record");
    std::vector<MapiCall> out;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\0', at);
        if (end == std::string::npos) end = all.size();
        std::string token = all.substr(at, end - at);
        if (!token.empty() && token[0] == '@')
            out.push_back({token.substr(1), {}});
        else if (!out.empty())
            out.back().tokens.push_back(token);
        at = end + 1;
    }
    return out;
}

std::vector<MapiCall> Mapi32Recorder::calls(const std::string &name) const {
    std::vector<MapiCall> out;
    for (MapiCall &call : calls())
        if (call.name == name) out.push_back(std::move(call));
    return out;
}

struct StandInClient::State {
    explicit State(ClientKind kind)
        : recorder(kind == ClientKind::failing ? "send" : "", kind == ClientKind::absent) {}
    Mapi32Recorder recorder;
};

StandInClient::StandInClient(ClientKind kind) : state_(std::make_unique<State>(kind)) {}
StandInClient::~StandInClient() = default;

bool StandInClient::ran() const {
    return !state_->recorder.calls("send").empty();
}

HandedOver StandInClient::message() const {
    HandedOver out;
    std::vector<MapiCall> sends = state_->recorder.calls("send");
    if (sends.empty()) return out;
    const MapiCall &send = sends.back();
    // The client shows the ANSI texts it is given in the system's code page.
    auto shown = [](const std::string &text) {
        return text == "(null)" || text.empty() ? std::string("<missing>")
                                                : kova_utf8_from_ansi(text);
    };
    out.subject = shown(send.after("subject"));
    out.body = shown(send.after("body"));
    for (const auto &to : send.groups("to", 3)) {
        std::string address = to[2];
        if (address.rfind("SMTP:", 0) == 0) address.erase(0, 5);
        out.recipients.push_back(address);
    }
    for (const auto &file : send.groups("file", 3)) out.attachments.push_back(file[1]);
    return out;
}

} // namespace mail_test
