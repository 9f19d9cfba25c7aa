// Start-up's parts in the user interface: the handler registry, the KOVADEBUG hook, the screen
// predicates and the operating system predicates.
#include "kernel/ui/presenter.h"
#include "kernel/ui/startup.h"
#include "tests/support/testing.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- Handler registry ----

int calls[32];

template <int N> uint16_t handler(HWND, UINT message, WPARAM, LPARAM) {
    ++calls[N];
    if (message == 1000 + N) {
        fxp_handler_result = 100 + N;
        return 1;
    }
    return 0;
}

template <int... N>
std::array<TXP_HANDLER, sizeof...(N)> make_handlers(std::integer_sequence<int, N...>) {
    return {handler<N>...};
}

TEST(Startup, HandlerRegistryHoldsThirtyAndAsksTheNewestSlotsFirst) {
    auto handlers = make_handlers(std::make_integer_sequence<int, 31>());
    TXP_PRESENTER saved = fxp_presenter;
    static std::vector<std::string> boxes;
    boxes.clear();
    fxp_presenter.desktop_visible = [] { return true; };
    fxp_presenter.beep = [](UINT) {};
    fxp_presenter.box = [](HWND, const char *text, const char *, UINT) -> int {
        boxes.push_back(text);
        return IDOK;
    };

    EXPECT_EQ(fxp_handler_add(handlers[0]), 0);
    EXPECT_EQ(fxp_handler_add(handlers[0]), 0) << "a second registration takes no slot";
    for (int i = 1; i < 30; ++i) EXPECT_EQ(fxp_handler_add(handlers[i]), 0) << i;
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(fxp_handler_add(handlers[30]), DXP_HANDLER_ERROR);
    EXPECT_EQ(boxes, std::vector<std::string>{"Error Adding Windows Handler"});

    // Slot 29 is asked first; the first handler that takes the message ends the dispatch.
    std::fill(std::begin(calls), std::end(calls), 0);
    LRESULT result = 0;
    EXPECT_TRUE(fxp_handler_dispatch(nullptr, 1000 + 5, 0, 0, &result));
    EXPECT_EQ(result, 105);
    EXPECT_EQ(calls[29], 1);
    EXPECT_EQ(calls[5], 1);
    EXPECT_EQ(calls[4], 0);
    EXPECT_FALSE(fxp_handler_dispatch(nullptr, 1, 0, 0, &result));

    // A freed slot is the lowest free one and takes the next handler.
    EXPECT_EQ(fxp_handler_remove(handlers[7]), 0);
    EXPECT_EQ(fxp_handler_remove(handlers[7]), DXP_HANDLER_ERROR);
    EXPECT_EQ(fxp_handler_add(handlers[30]), 0);
    std::fill(std::begin(calls), std::end(calls), 0);
    EXPECT_TRUE(fxp_handler_dispatch(nullptr, 1000 + 30, 0, 0, &result));
    EXPECT_EQ(result, 130);
    EXPECT_EQ(calls[8], 1) << "slot 8 is asked before slot 7, where the new handler sits";

    for (TXP_HANDLER h : handlers) fxp_handler_remove(h);
    fxp_presenter = saved;
}

TEST(Startup, ClickHandlerRecordsTheLastLeftButtonPress) {
    ASSERT_EQ(fxp_handler_add(fxp_click_handler), 0);
    auto window = reinterpret_cast<HWND>(0x1234);
    LRESULT result = 0;
    // Recording leaves the message to the window's own handling.
    EXPECT_FALSE(fxp_handler_dispatch(window, WM_LBUTTONDOWN, 0,
                                      static_cast<LPARAM>((-3 & 0xFFFF) | (40 << 16)), &result));
    EXPECT_EQ(fxp_last_click().window, window);
    EXPECT_EQ(fxp_last_click().x, -3);
    EXPECT_EQ(fxp_last_click().y, 40);
    fxp_handler_dispatch(nullptr, WM_LBUTTONDOWN + 1, 0, 0, &result);
    EXPECT_EQ(fxp_last_click().window, window) << "other messages change nothing";
    fxp_handler_remove(fxp_click_handler);
}

// ---- KOVADEBUG ----

TEST(Startup, KovadebugNamesTheProgramOrSaysY) {
    struct Case {
        const char *value; // null: unset
        bool shown;
    } cases[] = {
        {"y", true},      {"Y", true},  {"KVQM;TEST_UI", true},  {"test_ui", true}, {"", false},
        {nullptr, false}, {"N", false}, {"kvpatch;kvqm", false}, {"yes", false},
    };
    TXP_PRESENTER saved = fxp_presenter;
    static std::vector<std::pair<std::string, std::string>> boxes;
    fxp_presenter.desktop_visible = [] { return true; };
    fxp_presenter.beep = [](UINT) {};
    fxp_presenter.box = [](HWND, const char *text, const char *title, UINT) -> int {
        boxes.emplace_back(title, text);
        return IDOK;
    };
    char program[1024] = {};
    GetModuleFileNameA(nullptr, program, sizeof program);
    for (const Case &c : cases) {
        boxes.clear();
        if (c.value)
            SetEnvironmentVariableA("KOVADEBUG", c.value);
        else
            SetEnvironmentVariableA("KOVADEBUG", nullptr);
        EXPECT_EQ(fxp_debug_hook(), c.shown) << (c.value ? c.value : "(unset)");
        if (c.shown) {
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].first, "KOVADEBUG");
            EXPECT_EQ(boxes[0].second, program);
        } else {
            EXPECT_TRUE(boxes.empty());
        }
    }
    SetEnvironmentVariableA("KOVADEBUG", nullptr);
    fxp_presenter = saved;
    EXPECT_TRUE(fxp_debug_hook_wanted("a;KvPatch;b", "C:\\kova\\kvpatch.exe"));
    EXPECT_FALSE(fxp_debug_hook_wanted("patch", "C:\\kova\\kvpatch.exe"));
}

// ---- Screen and operating system ----

TEST(Startup, ScreenPredicates) {
    struct Case {
        int width, height, dpi;
        bool small, compact;
    } cases[] = {
        {1366, 768, 96, false, false},  {1280, 720, 96, false, true},
        {1024, 768, 96, false, false},  {1023, 768, 96, false, true},
        {1280, 960, 120, false, false}, {1279, 960, 120, false, true},
        {1280, 959, 120, false, true},  {480, 640, 96, true, true},
        {480, 479, 96, false, true},    {481, 640, 96, false, true},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(fxp_small_screen(c.width, c.height), c.small) << c.width << "x" << c.height;
        EXPECT_EQ(fxp_compact_screen(c.width, c.height, c.dpi), c.compact)
            << c.width << "x" << c.height << " at " << c.dpi;
    }
    // A terminal that is no terminal counts as 80 by 25 cells.
    TXP_APP app;
    fxp_app_measure(&app);
    EXPECT_EQ(app.screen_width, 80 * DXP_CELL_WIDTH);
    EXPECT_EQ(app.screen_height, 25 * DXP_CELL_HEIGHT);
    EXPECT_EQ(app.char_width, DXP_CELL_WIDTH);
    EXPECT_TRUE(app.compact);
    EXPECT_FALSE(app.high_resolution);
}

TEST(Startup, OperatingSystemPredicates) {
    // The POSIX platform: NT 10.0, a workstation, no terminal services. Windows is what it is.
    if (!kova_test::on_windows()) {
        EXPECT_TRUE(fxp_os_nt() && fxp_os_2000() && fxp_os_xp() && fxp_os_vista() && fxp_os_7() &&
                    fxp_os_8());
        EXPECT_FALSE(fxp_os_after_10() || fxp_os_server_2008() || fxp_os_server_2008r2() ||
                     fxp_os_server_2016());
        EXPECT_FALSE(fxp_terminal_services());
    }

    auto version = [](DWORD platform, DWORD major, DWORD minor, BYTE product) {
        OSVERSIONINFOEXA v{};
        v.dwPlatformId = platform;
        v.dwMajorVersion = major;
        v.dwMinorVersion = minor;
        v.wProductType = product;
        return v;
    };
    const DWORD nt = VER_PLATFORM_WIN32_NT, nine = VER_PLATFORM_WIN32_WINDOWS;
    OSVERSIONINFOEXA server_2012r2 = version(nt, 6, 3, VER_NT_DOMAIN_CONTROLLER);
    EXPECT_TRUE(fxp_os_server_2008(server_2012r2) && fxp_os_server_2008r2(server_2012r2));
    EXPECT_FALSE(fxp_os_server_2016(server_2012r2));
    EXPECT_TRUE(fxp_os_server_2016(version(nt, 10, 0, VER_NT_SERVER)));
    EXPECT_FALSE(fxp_os_server_2008r2(version(nt, 6, 0, VER_NT_SERVER)));
    EXPECT_TRUE(fxp_os_after_10(version(nt, 10, 1, VER_NT_WORKSTATION)));
    EXPECT_FALSE(fxp_os_7(version(nt, 6, 0, VER_NT_WORKSTATION)));
    EXPECT_TRUE(fxp_os_8(version(nt, 6, 2, VER_NT_WORKSTATION)));
    // XP is the one predicate without a platform test.
    EXPECT_TRUE(fxp_os_xp(version(nine, 5, 1, 0)));
    EXPECT_FALSE(fxp_os_vista(version(nine, 6, 0, 0)));
    EXPECT_FALSE(fxp_os_2000(version(nt, 4, 0, VER_NT_WORKSTATION)));
}

} // namespace
