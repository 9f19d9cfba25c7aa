// The window transport on Windows. Each client connection has a message-only window of its
// own, run by a thread of the connection, so that any thread may use the connection and the
// manager's notices are taken whether or not the program pumps messages; the shared block is
// named from that window's handle, so two connections of one process never share a block. The
// manager's window is a hidden top-level window, which FindWindowA finds by class and title.
// Both windows admit DXI_CONN_WIN32MSG from processes of a lower integrity level, so that an
// elevated client and a manager that is not (or the other way round) still reach each other.
#include "kernel/coord/conn_window.h"

#include "kernel/coord/conn_shm.h"
#include "platform/win32.h"

#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace {

constexpr const char *client_class = "KOVA Manager Connection";
// The first parameter of a notice that fails the exchange the client waits for.
constexpr WPARAM failed_notice = 65535;
// Ends the manager's window from its owner; a WM_CLOSE comes from elsewhere (taskkill without
// /f, say) and asks the manager to end.
constexpr UINT manager_window_end = WM_APP + 1;

UINT notice_message() {
    static const UINT message = RegisterWindowMessageA("DXI_CONN_WIN32MSG");
    return message;
}

// Handle values are 32 bits wide on every Windows, sign-extended in a 64-bit process.
HWND window_of(TXI_WINDOW_CLIENT client) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(client)));
}
TXI_WINDOW_CLIENT client_of(HWND window) {
    return static_cast<TXI_WINDOW_CLIENT>(reinterpret_cast<uintptr_t>(window));
}

// Registers a window class of this module once; a class already there is as good.
bool register_class(const char *name, WNDPROC procedure) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name;
    return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// A window keeps the object that made it (the creation parameter) for its procedure.
void keep_owner(HWND window, LPARAM create) {
    auto *params = reinterpret_cast<CREATESTRUCTA *>(create);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(params->lpCreateParams));
}
template <typename Owner> Owner *owner_of(HWND window) {
    return reinterpret_cast<Owner *>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// Posts the notice until the queue takes it; false once the window is gone.
bool post_notice(HWND to, WPARAM first) {
    while (!PostMessageA(to, notice_message(), first, 0)) {
        if (!IsWindow(to)) return false;
        Sleep(1); // a full queue empties as its thread runs
    }
    return true;
}

// ---- Client side ----

class ClientWindow final : public TXI_CONN_WINDOW {
public:
    ~ClientWindow() override { close(); }

    bool start(uint16_t manager, uint16_t size, HWND manager_window) {
        size_ = size;
        manager_ = manager_window;
        notice_.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
        if (!notice_ || !register_class(client_class, procedure)) return false;
        std::promise<HWND> made;
        std::future<HWND> window = made.get_future();
        // The thread owns the promise: it may still be signalling when this call goes on.
        thread_ = std::thread([this, made = std::move(made)]() mutable {
            HWND w = CreateWindowExA(0, client_class, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     GetModuleHandleA(nullptr), this);
            if (w) ChangeWindowMessageFilterEx(w, notice_message(), MSGFLT_ALLOW, nullptr);
            made.set_value(w);
            if (!w) return;
            MSG m;
            while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
        });
        own_ = window.get();
        if (!own_) return false;
        mapping_.reset(
            fxi_conn_shm_create_block(manager, client_of(own_), 0, size, TXI_SHM_NAMESPACE::local));
        if (!mapping_) return false;
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        if (!view_.get()) return false;
        fxi_conn_shm_store_flag(view_.get(), 0);
        return true;
    }

    bool open() const override { return view_.get() != nullptr; }

    uint16_t send(const void *message, bool reply_wanted) override {
        if (!open()) return DXI_CONN_SEND_FAILED;
        uint8_t *block = view_.get();
        if (!reply_wanted) fxi_conn_shm_store_flag(block, DXI_SHM_NO_REPLY);
        if (message != block + 1) std::memmove(block + 1, message, size_);
        if (!post_notice(manager_, reinterpret_cast<WPARAM>(own_))) return DXI_CONN_SEND_FAILED;
        if (reply_wanted) return 0;
        // The manager's end shows as its window going.
        return fxi_conn_shm_await_taken(
                   block, [this] { return !IsWindow(manager_); }, &failed_)
                   ? 0
                   : DXI_CONN_SEND_FAILED;
    }

    uint16_t receive(void *buffer) override {
        if (!open()) return DXI_CONN_RECEIVE_FAILED;
        uint8_t *block = view_.get();
        // A reply put in the block before the manager went still counts; the manager's notice
        // only wakes the wait, the flag says whether the reply is there.
        while (fxi_conn_shm_load_flag(block) != DXI_SHM_REPLIED) {
            if (failed_) return DXI_CONN_RECEIVE_FAILED;
            DWORD r = WaitForSingleObject(notice_.get(), DXI_SHM_LIVENESS_SLICE);
            if (r == WAIT_FAILED) return DXI_CONN_RECEIVE_FAILED;
            if (r == WAIT_TIMEOUT && !IsWindow(manager_) &&
                fxi_conn_shm_load_flag(block) != DXI_SHM_REPLIED)
                return DXI_CONN_RECEIVE_FAILED;
        }
        std::memmove(buffer, block + 1, size_);
        fxi_conn_shm_store_flag(block, 0);
        return 0;
    }

    void close() override {
        view_.reset();
        mapping_.reset();
        if (thread_.joinable()) {
            // The window goes on its own thread, which then ends its loop.
            if (own_) PostMessageA(own_, WM_CLOSE, 0, 0);
            thread_.join();
        }
        own_ = nullptr;
    }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM first, LPARAM second) {
        if (message == WM_NCCREATE) {
            keep_owner(window, second);
        } else if (message == notice_message()) {
            auto *self = owner_of<ClientWindow>(window);
            if (self) {
                // A notice with a non-zero first parameter tells of the manager's end.
                if (first != 0) self->failed_ = true;
                SetEvent(self->notice_.get());
            }
            return 0;
        } else if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, first, second);
    }

    uint16_t size_ = 0;
    HWND manager_ = nullptr;
    HWND own_ = nullptr; // made and destroyed by thread_
    std::thread thread_;
    TXI_CONN_HANDLE notice_;
    std::atomic<bool> failed_{false};
    TXI_CONN_HANDLE mapping_;
    TXI_CONN_VIEW view_;
};

// ---- Manager side ----

class ManagerWindow final : public TXI_MANAGER_WINDOW {
public:
    explicit ManagerWindow(TXI_MANAGER_WINDOW_EVENTS events) : events_(std::move(events)) {}
    ~ManagerWindow() override {
        if (thread_.joinable()) {
            if (window_) PostMessageA(window_, manager_window_end, 0, 0);
            thread_.join();
        }
    }

    bool start(const std::string &class_name, const std::string &title, std::string *error) {
        if (!register_class(class_name.c_str(), procedure)) {
            *error = "cannot register the window class: error " + std::to_string(GetLastError());
            return false;
        }
        std::promise<std::pair<HWND, DWORD>> made;
        auto window = made.get_future();
        thread_ = std::thread([this, class_name, title, made = std::move(made)]() mutable {
            HWND w = CreateWindowExA(0, class_name.c_str(), title.c_str(), WS_OVERLAPPED, 0, 0, 0,
                                     0, nullptr, nullptr, GetModuleHandleA(nullptr), this);
            DWORD code = w ? 0 : GetLastError();
            if (w) ChangeWindowMessageFilterEx(w, notice_message(), MSGFLT_ALLOW, nullptr);
            made.set_value({w, code});
            if (w) serve();
        });
        auto [w, code] = window.get();
        window_ = w;
        if (!w) *error = "cannot create the manager window: error " + std::to_string(code);
        return w != nullptr;
    }

    bool notify(TXI_WINDOW_CLIENT client, TXI_WINDOW_NOTICE notice) override {
        return post_notice(window_of(client),
                           notice == TXI_WINDOW_NOTICE::failed ? failed_notice : 0);
    }
    bool client_alive(TXI_WINDOW_CLIENT client) const override {
        return IsWindow(window_of(client)) != FALSE;
    }
    uint32_t client_process(TXI_WINDOW_CLIENT client) const override {
        DWORD process = 0;
        return GetWindowThreadProcessId(window_of(client), &process) ? process : 0;
    }

private:
    void serve() {
        bool pending = false;
        for (;;) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, pending ? 1 : DXI_SHM_LIVENESS_SLICE,
                                      QS_ALLINPUT);
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_QUIT) return;
                DispatchMessageA(&m);
            }
            pending = events_.round && events_.round();
        }
    }

    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM first, LPARAM second) {
        if (message == WM_NCCREATE) {
            keep_owner(window, second);
        } else if (message == notice_message()) {
            auto *self = owner_of<ManagerWindow>(window);
            if (self && self->events_.notice && first != 0)
                self->events_.notice(static_cast<TXI_WINDOW_CLIENT>(first));
            return 0;
        } else if (message == WM_CLOSE) {
            // The window stays for as long as the manager runs: closing it asks the manager to
            // end, which then takes the window down itself.
            auto *self = owner_of<ManagerWindow>(window);
            if (self && self->events_.close) self->events_.close();
            return 0;
        } else if (message == manager_window_end) {
            DestroyWindow(window);
            return 0;
        } else if (message == WM_DESTROY) {
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(window, message, first, second);
    }

    TXI_MANAGER_WINDOW_EVENTS events_;
    std::thread thread_;
    HWND window_ = nullptr;
};

std::string manager_title(const std::string &class_name, const std::string &home) {
    return class_name + " (" + home + ")";
}

} // namespace

bool fxi_conn_window_messages() {
    return true;
}

uint16_t fxi_conn_connect_window(uint16_t manager, uint16_t size, const std::string &home,
                                 uint16_t *confirmed, std::shared_ptr<TXI_CONN_WINDOW> *out) {
    std::string class_name = fxi_conn_window_class(manager);
    if (class_name.empty()) return DXI_CONN_NO_TRANSPORT;
    HWND window = FindWindowA(class_name.c_str(), manager_title(class_name, home).c_str());
    if (!window) window = FindWindowA(class_name.c_str(), class_name.c_str());
    if (!window) return DXI_CONN_NO_TRANSPORT;
    *confirmed = 1;
    auto connection = std::make_shared<ClientWindow>();
    if (!connection->start(manager, size, window)) return DXI_CONN_NO_TRANSPORT;
    *out = std::move(connection);
    return 0;
}

std::unique_ptr<TXI_MANAGER_WINDOW> fxi_manager_window_open(uint16_t manager,
                                                            const std::string &home,
                                                            TXI_MANAGER_WINDOW_EVENTS events,
                                                            std::string *error) {
    std::string class_name = fxi_conn_window_class(manager);
    if (class_name.empty()) {
        *error = "manager " + std::to_string(manager) + " has no window class";
        return nullptr;
    }
    auto window = std::make_unique<ManagerWindow>(std::move(events));
    if (!window->start(class_name, manager_title(class_name, home), error)) return nullptr;
    return window;
}
