// Reading what the test MAPI32.DLL (tests/support/mapi32_dll.cpp) recorded, on Windows, and
// making it record and fail while an object lives.
#pragma once

#include "tests/support/testing.h"

#include <optional>
#include <string>
#include <vector>

namespace mail_test {

// One call into the library: its name ("logon", "send" ...) and the tokens after it.
struct MapiCall {
    std::string name;
    std::vector<std::string> tokens;
    // The token after the first `key`, or "<missing>".
    std::string after(const std::string &key, size_t skip = 0) const;
    // Every group of `width` tokens following `key` ("to", "file").
    std::vector<std::vector<std::string>> groups(const std::string &key, size_t width) const;
};

// The test MAPI32.DLL records into a file of this object's and fails as `failures` says,
// while the object lives; with `hidden` it is moved out of the way, so that the system's own
// MAPI32.DLL is the one found, and the default mail client is unregistered, so that no client
// is behind it.
class Mapi32Recorder {
public:
    explicit Mapi32Recorder(const std::string &failures = {}, bool hidden = false);
    ~Mapi32Recorder();
    Mapi32Recorder(const Mapi32Recorder &) = delete;
    Mapi32Recorder &operator=(const Mapi32Recorder &) = delete;

    std::vector<MapiCall> calls() const;
    std::vector<MapiCall> calls(const std::string &name) const;
    // The test library's file next to the test program.
    static std::string library_path();

private:
    kova_test::TempDir dir_;
    std::optional<kova_test::ScopedEnv> record_, failures_;
    std::string hidden_as_;
    // The default mail clients taken away (HKEY_LOCAL_MACHINE's, then HKEY_CURRENT_USER's;
    // empty: none), put back when the object goes.
    std::string machine_client_, user_client_;
};

} // namespace mail_test
