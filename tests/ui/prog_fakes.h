// Test doubles shared by the progress and prompt-page tests: a clock the test moves, and a
// presenter that an operator "sees", which records every box and answers as scripted.
#pragma once

#include "kernel/ui/presenter.h"
#include "kernel/ui/prog.h"

#include <deque>
#include <string>
#include <vector>

namespace pages_test {

inline DWORD fake_now = 0;
inline DWORD fake_ticks() {
    return fake_now;
}

struct Boxes {
    bool visible = true;
    std::vector<std::string> texts;
    std::deque<int> answers; // IDOK when empty
};
inline Boxes *current_boxes = nullptr;

// Puts the fake clock and presenter in place for as long as it lives.
class FakeScreen {
public:
    FakeScreen() : saved_(fxp_presenter) {
        fake_now = 1000;
        fxp_ticks_source(fake_ticks);
        current_boxes = &boxes_;
        fxp_presenter.desktop_visible = [] { return current_boxes->visible; };
        fxp_presenter.beep = [](UINT) {};
        fxp_presenter.box = [](HWND, const char *text, const char *, UINT) {
            current_boxes->texts.push_back(text ? text : "");
            if (current_boxes->answers.empty()) return static_cast<int>(IDOK);
            int answer = current_boxes->answers.front();
            current_boxes->answers.pop_front();
            return answer;
        };
    }
    ~FakeScreen() {
        fxp_presenter = saved_;
        fxp_ticks_source(nullptr);
        current_boxes = nullptr;
    }
    FakeScreen(const FakeScreen &) = delete;
    FakeScreen &operator=(const FakeScreen &) = delete;
    Boxes &boxes() { return boxes_; }

private:
    TXP_PRESENTER saved_;
    Boxes boxes_;
};

} // namespace pages_test
