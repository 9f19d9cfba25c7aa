// Simple MAPI on Windows, checked at the library: what the mail layer hands MAPI32.DLL (flags,
// logon and logoff in pairs, positions and names of attachments, texts byte for byte), how it
// reads each failure, and the system's own MAPI32.DLL with and without a mail client behind it.
#include "kernel/files/install.h"
#include "kernel/mail/mail.h"
#include "kernel/ui/presenter.h"
#include "tests/mail/mail_client.h"
#include "tests/mail/mapi32_record.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>

namespace {

using mail_test::Mapi32Recorder;
using mail_test::MapiCall;

constexpr const char *no_smtp = "Could not read SMTP details from kova.ini";

// Boxes are recorded and answered OK.
class Boxes {
public:
    Boxes() : saved_(fxp_presenter) {
        current() = this;
        fxp_presenter.desktop_visible = [] { return true; };
        fxp_presenter.beep = [](UINT) {};
        fxp_presenter.box = [](HWND, const char *text, const char *, UINT) {
            current()->shown.push_back(text ? text : "");
            return static_cast<int>(IDOK);
        };
    }
    ~Boxes() {
        fxp_presenter = saved_;
        current() = nullptr;
    }
    Boxes(const Boxes &) = delete;
    Boxes &operator=(const Boxes &) = delete;
    std::vector<std::string> shown;

private:
    static Boxes *&current() {
        static Boxes *boxes = nullptr;
        return boxes;
    }
    TXP_PRESENTER saved_;
};

class MapiLibrary : public mail_test::MapiTest {
protected:
    void SetUp() override {
        MapiTest::SetUp();
        // No SMTP settings: a fallback to SMTP shows itself by the box saying so.
        fxi_set_data_home("M:\\home\\");
    }
};

TEST_F(MapiLibrary, HandsOverTheMessageAsGiven) {
    Boxes boxes;
    Mapi32Recorder recorder;
    ASSERT_EQ(fxk_mail_send_full("a@x.example;;  Bo <bo@x.example> ", "me@x.example", "Me",
                                 "Patch \xe9t\xe9", "Body\x7f\r\n",
                                 "M:\\p\\fix1.kvz;M:\\p\\two.kvz", "first.kvz;dir\\second.kvz", 0),
              1);
    EXPECT_TRUE(boxes.shown.empty());

    std::vector<MapiCall> calls = recorder.calls();
    std::vector<std::string> names;
    for (const MapiCall &call : calls) names.push_back(call.name);
    ASSERT_EQ(names, (std::vector<std::string>{"logon", "resolve", "resolve", "send", "free",
                                               "free", "logoff"}));
    // Logged on without asking, logged off the same session.
    const MapiCall &logon = calls.front();
    EXPECT_EQ(logon.after("flags"), "0");
    EXPECT_EQ(calls.back().after("session"), logon.after("session"));

    EXPECT_EQ(calls[1].after("name"), "a@x.example");
    EXPECT_EQ(calls[2].after("name"), "Bo <bo@x.example>");
    const MapiCall &send = calls[3];
    EXPECT_EQ(send.after("session"), logon.after("session"));
    EXPECT_EQ(send.after("flags"), "0");                 // recipients given and no dialog asked for
    EXPECT_EQ(send.after("subject"), "Patch \xe9t\xe9"); // ANSI, untouched
    EXPECT_EQ(send.after("body"), "Body \r\n");          // DEL is a blank
    EXPECT_EQ(send.groups("from", 3),
              (std::vector<std::vector<std::string>>{{"0", "Me", "me@x.example"}}));
    EXPECT_EQ(send.groups("to", 3), (std::vector<std::vector<std::string>>{
                                        {"1", "a@x.example", "SMTP:a@x.example"},
                                        {"1", "Bo <bo@x.example>", "SMTP:bo@x.example"}}));
    // Each attachment stands at its place in the note, under its display name's file part.
    EXPECT_EQ(send.groups("file", 3),
              (std::vector<std::vector<std::string>>{{"0", "M:\\p\\fix1.kvz", "first.kvz"},
                                                     {"1", "M:\\p\\two.kvz", "second.kvz"}}));
}

TEST_F(MapiLibrary, WithoutRecipientsTheClientAsks) {
    Boxes boxes;
    Mapi32Recorder recorder;
    ASSERT_EQ(fxk_mail_send(nullptr, nullptr, "b", "M:\\p\\fix1.kvz", nullptr, 0), 1);
    std::vector<MapiCall> sends = recorder.calls("send");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].after("flags"), std::to_string(MAPI_DIALOG));
    EXPECT_EQ(sends[0].after("subject"), "(null)");
    EXPECT_TRUE(sends[0].groups("to", 3).empty());
    EXPECT_EQ(sends[0].groups("file", 3),
              (std::vector<std::vector<std::string>>{{"0", "M:\\p\\fix1.kvz", "fix1.kvz"}}));
}

// Each failure of the library, as the calls answer it, and where sending goes after it: a
// message the client took or the user cancelled stays there, anything else goes by SMTP.
TEST_F(MapiLibrary, FailuresAndWhereTheMessageGoes) {
    struct Case {
        const char *failures;
        const char *recipients;
        uint16_t code;    // of the step that fails, 0 for none
        const char *text; // the code's text
        int handed_over;  // fxk_mail_send's answer
        bool smtp;        // whether it fell back to SMTP
        size_t logons;    // calls of MAPILogon
        size_t frees;     // calls of MAPIFreeBuffer
    } cases[] = {
        {"logon", nullptr, DXK_MAIL_LOGON_FAILED, "Logon failed", 0, true, 2, 0},
        {"logon-abort", nullptr, DXK_MAIL_LOGON_ABORTED, "Operator aborted the logon attempt", 1,
         false, 2, 0},
        {"logon-silent", nullptr, 0, nullptr, 1, false, 2, 0},
        {"send", nullptr, DXK_MAIL_SEND_FAILED, "Send mail failed", 0, true, 1, 0},
        {"send-abort", nullptr, DXK_MAIL_SEND_ABORTED, "Operator aborted sending the message", 1,
         false, 1, 0},
        // The client took the message before the release failed: SMTP would send it twice.
        {"free", "a@x.example", DXK_MAIL_FREE_FAILED,
         "Failed to free a buffer allocated by MAPI32.DLL", 1, false, 1, 1},
        {"logoff", nullptr, DXK_MAIL_LOGOFF_FAILED, "Logoff failed", 1, false, 1, 0},
        {"resolve-ambiguous", "a@x.example", 0, nullptr, 1, false, 1, 1},
        {"resolve-efail", "a@x.example", 0, nullptr, 1, false, 1, 1},
        {"", "nobody", DXK_MAIL_RESOLVE_FAILED, "Failed to resolve the recipient name", 0, true, 1,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failures);
        // The calls one by one, for the code of the step that fails.
        {
            Mapi32Recorder recorder(c.failures);
            uint16_t code = fxk_mapi_logon();
            if (code == 0)
                code = fxk_mapi_send(c.recipients, nullptr, nullptr, "s", "b", "M:\\p\\fix1.kvz",
                                     nullptr, 1);
            uint16_t logoff = fxk_mapi_logoff();
            if (code == 0) code = logoff;
            EXPECT_EQ(code, c.code);
            if (c.code) {
                EXPECT_STREQ(fxk_error_text(code, &EXK_MAIL), c.text);
            }
            // A logoff that failed leaves the session: it is ended here for the next case.
            if (logoff == DXK_MAIL_LOGOFF_FAILED) {
                kova_test::ScopedEnv working("KOVA_TEST_MAPI_FAIL", "");
                EXPECT_EQ(fxk_mapi_logoff(), 0);
            }
        }
        // The whole send.
        Boxes boxes;
        Mapi32Recorder recorder(c.failures);
        EXPECT_EQ(
            fxk_mail_send(c.recipients, "s", "b", "M:\\p\\fix1.kvz", nullptr, DXK_MAIL_DIALOG),
            c.handed_over);
        EXPECT_EQ(boxes.shown,
                  c.smtp ? std::vector<std::string>{no_smtp} : std::vector<std::string>{});
        std::vector<MapiCall> logons = recorder.calls("logon");
        ASSERT_EQ(logons.size(), c.logons);
        // Asked again with the logon dialog and a new session when the quiet logon failed.
        if (c.logons == 2) {
            EXPECT_EQ(logons[1].after("flags"), "3");
        }
        // A session opened is closed again, exactly once.
        std::string session = logons.back().after("session");
        std::vector<MapiCall> logoffs = recorder.calls("logoff");
        if (session == "<missing>") {
            EXPECT_TRUE(logoffs.empty());
        } else {
            ASSERT_EQ(logoffs.size(), 1u);
            EXPECT_EQ(logoffs[0].after("session"), session);
        }
        // Every resolved recipient is released; an ambiguous name is asked about.
        EXPECT_EQ(recorder.calls("free").size(), c.frees);
        std::vector<MapiCall> resolves = recorder.calls("resolve");
        if (std::string(c.failures) == "resolve-ambiguous") {
            ASSERT_EQ(resolves.size(), 2u);
            EXPECT_EQ(resolves[1].after("flags"), std::to_string(MAPI_DIALOG));
        }
        if (logoffs.size() == 1 && std::string(c.failures) == "logoff") {
            kova_test::ScopedEnv working("KOVA_TEST_MAPI_FAIL", "");
            EXPECT_EQ(fxk_mapi_logoff(), 0);
        }
    }
}

// Registers the test library as the default mail client, which the system's MAPI32.DLL hands
// its calls to, while the object lives.
class RegisteredClient {
public:
    explicit RegisteredClient(const std::string &library) {
        std::string client = std::string(clients) + "\\" + name;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, client.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExA(key, "DLLPath", 0, REG_SZ, reinterpret_cast<const BYTE *>(library.c_str()),
                       static_cast<DWORD>(library.size() + 1));
        RegCloseKey(key);
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, clients, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return;
        registered_ = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(name),
                                     static_cast<DWORD>(std::strlen(name) + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~RegisteredClient() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, clients, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, nullptr);
            RegDeleteKeyA(key, name);
            RegCloseKey(key);
        }
    }
    RegisteredClient(const RegisteredClient &) = delete;
    RegisteredClient &operator=(const RegisteredClient &) = delete;
    bool registered() const { return registered_; }

private:
    static constexpr const char *clients = "Software\\Clients\\Mail";
    static constexpr const char *name = "KOVA test mail";
    bool registered_ = false;
};

// Without a mail client's own MAPI32.DLL next to the program, the system's is found: it reaches
// a mail client only when one is registered as the default (Wine registers its own).
TEST_F(MapiLibrary, SystemLibraryNeedsARegisteredClient) {
    std::string library = Mapi32Recorder::library_path();
    std::string client_copy = drive_ + "/client/kvtestmail.dll";
    std::filesystem::create_directories(drive_ + "/client");
    ASSERT_TRUE(CopyFileA(library.c_str(), client_copy.c_str(), FALSE));

    Mapi32Recorder hidden("", true);
    char found[MAX_PATH] = {};
    ASSERT_GT(SearchPathA(nullptr, "MAPI32.DLL", nullptr, sizeof found, found, nullptr), 0u);
    {
        Boxes boxes;
        EXPECT_EQ(fxk_mapi_logon(), DXK_MAIL_NOT_INSTALLED) << found;
        EXPECT_STREQ(fxk_error_text(DXK_MAIL_NOT_INSTALLED, &EXK_MAIL), "MAPI not installed");
        EXPECT_EQ(fxk_mail_send(nullptr, nullptr, "b", "M:\\p\\fix1.kvz", nullptr, 1), 0);
        EXPECT_EQ(boxes.shown, std::vector<std::string>{no_smtp});
    }

    // Wine's bridge to the host's mailto: handler, which drops attachments, is no mail client.
    {
        RegisteredClient wine_bridge("C:\\windows\\system32\\winemapi.dll");
        ASSERT_TRUE(wine_bridge.registered());
        Boxes boxes;
        EXPECT_EQ(fxk_mapi_logon(), DXK_MAIL_NOT_INSTALLED);
        EXPECT_EQ(fxk_mail_send(nullptr, nullptr, "b", "M:\\p\\fix1.kvz", nullptr, 1), 0);
        EXPECT_EQ(boxes.shown, std::vector<std::string>{no_smtp});
    }

    RegisteredClient registered(client_copy);
    ASSERT_TRUE(registered.registered());
    Boxes boxes;
    EXPECT_EQ(fxk_mail_send("a@x.example", "s", "b", "M:\\p\\fix1.kvz", nullptr, 1), 1);
    EXPECT_TRUE(boxes.shown.empty());
    std::vector<MapiCall> sends = hidden.calls("send");
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].groups("to", 3),
              (std::vector<std::vector<std::string>>{{"1", "a@x.example", "SMTP:a@x.example"}}));
    EXPECT_EQ(hidden.calls("logoff").size(), 1u);
}

} // namespace
