// The manager side of a connection: one thread polls the listening socket and every socket
// client; each client's bytes are cut into messages of the connection's size, its replies
// queued and sent as the socket takes them, so that a slow or vanished client holds up nobody
// else. Shared-memory clients are admitted by an announcement thread and each served by a
// thread of its own that waits on the client's request event; all of them handle requests
// under one lock, so the managers' own state needs none.
#include "kernel/coord/conn_server.h"

#include "kernel/coord/conn_shm.h"
#include "kernel/coord/conn_window.h"
#include "kernel/text/format.h"
#include "platform/host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <vector>

struct CXI_MANAGER::SharedLink {
    TXI_CONN_HANDLE mapping;
    TXI_CONN_VIEW view;
    TXI_CONN_HANDLE request, reply, manager_mutex, client_mutex;
    std::thread thread;
    std::atomic<bool> end{false};
};

struct CXI_MANAGER::WindowLink {
    TXI_WINDOW_CLIENT window = 0; // the client's window
    TXI_CONN_HANDLE mapping;
    TXI_CONN_VIEW view;
};

struct CXI_MANAGER::Client {
    Client() = default;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    // Ends the client's serving thread; never called under the manager's lock, which the
    // thread may be waiting for.
    ~Client() {
        if (shared && shared->thread.joinable()) {
            shared->end = true;
            SetEvent(shared->request.get());
            shared->thread.join();
        }
    }
    SOCKET socket = INVALID_SOCKET;
    std::unique_ptr<SharedLink> shared;
    std::unique_ptr<WindowLink> window;
    TXI_MANAGER_CLIENT info;
    std::string in, out;
    bool close_after_flush = false; // signed off: goes once its reply is sent
    bool dead = false;
    bool closed_told = false; // closed() has been called for it
};

namespace {

// Replies a client leaves unread beyond this are not kept for it.
constexpr size_t max_unsent = 1 << 20;

// "address:port", "address" or ":port"; an empty address is the loopback interface.
bool parse_listen(const std::string &text, uint32_t *address, uint16_t *port, std::string *error) {
    std::string host = text, digits;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        digits = text.substr(colon + 1);
    }
    uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || (value = value * 10 + static_cast<uint32_t>(c - '0')) > 65535) {
            *error = "bad port in '" + text + "'";
            return false;
        }
    }
    *port = htons(static_cast<USHORT>(value));
    if (host.empty()) host = "127.0.0.1";
    unsigned long a = inet_addr(host.c_str());
    if (a == INADDR_NONE) {
        hostent *entry = gethostbyname(host.c_str());
        if (!entry || !entry->h_addr_list[0]) {
            *error = "cannot resolve '" + host + "'";
            return false;
        }
        std::memcpy(&a, entry->h_addr_list[0], 4);
    }
    *address = static_cast<uint32_t>(a);
    return true;
}

// Takes the message in a client's block: copied out, and one that wants no reply marked taken,
// which is what its sender waits for.
void take_message(uint8_t *block, uint8_t *message, size_t size) {
    std::memcpy(message, block + 1, size);
    if (fxi_conn_shm_load_flag(block) == DXI_SHM_NO_REPLY) fxi_conn_shm_store_flag(block, 0);
}

// Puts the next reply waiting in `out` into a client's block once the client has taken the
// one before; true when it did.
bool put_reply(std::string &out, uint8_t *block, size_t size) {
    if (out.empty() || fxi_conn_shm_load_flag(block) != 0) return false;
    std::memcpy(block + 1, out.data(), size);
    out.erase(0, size);
    fxi_conn_shm_store_flag(block, DXI_SHM_REPLIED);
    return true;
}

// Waits until the client has taken the message in its block (byte 0 back to 0), at most until
// `until` (GetTickCount64). It takes it as soon as it is scheduled: a few yields are enough
// mostly, then short sleeps leave the processor to it.
bool await_taken(uint8_t *block, ULONGLONG until) {
    for (int spins = 0; fxi_conn_shm_load_flag(block) != 0; ++spins) {
        if (GetTickCount64() >= until) return false;
        if (spins < 64)
            std::this_thread::yield();
        else
            Sleep(1);
    }
    return true;
}

std::string peer_text(uint32_t address, uint16_t port) {
    in_addr in;
    in.s_addr = address;
    std::string text = inet_ntoa(in);
    return fxd_fmt_append(text, ":%word%,5", static_cast<int>(ntohs(port)));
}

} // namespace

CXI_MANAGER::CXI_MANAGER(std::string program, uint16_t manager, uint16_t message_size,
                         TXI_MANAGER_OPTIONS options)
    : program_(std::move(program)), manager_(manager), size_(message_size), options_(options) {}

CXI_MANAGER::~CXI_MANAGER() {
    stop_offering();
    for (Client &c : clients_)
        if (c.socket != INVALID_SOCKET) closesocket(c.socket);
    clients_.clear();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (address_handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(address_handle_);
        DeleteFileA(address_file_.c_str());
    }
    if (winsock_) WSACleanup();
}

void CXI_MANAGER::log(const char *format, ...) const {
    std::string line = program_ + ": ";
    std::string text;
    va_list args;
    va_start(args, format);
    fxd_fmt_vassign(text, format, args);
    va_end(args);
    line += text;
    line += '\n';
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

bool CXI_MANAGER::start(const std::string &data_home, const std::string &listen,
                        std::string *error) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *error = "Windows Sockets did not start";
        return false;
    }
    winsock_ = true;
    uint32_t address;
    uint16_t port;
    if (!parse_listen(listen.empty() ? "127.0.0.1:0" : listen, &address, &port, error))
        return false;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    BOOL on = TRUE;
    ULONG nonblocking = 1;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = port;
    at.sin_addr.s_addr = address;
    int length = sizeof at;
    if (listener_ == INVALID_SOCKET ||
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&on),
                   sizeof on) == SOCKET_ERROR ||
        bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at) == SOCKET_ERROR ||
        ::listen(listener_, SOMAXCONN) == SOCKET_ERROR ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &length) == SOCKET_ERROR ||
        ioctlsocket(listener_, FIONBIO, &nonblocking) == SOCKET_ERROR) {
        fxd_fmt_assign(*error, "cannot listen on %str%: Winsock error %dword%,5",
                       peer_text(address, port).c_str(), static_cast<uint32_t>(WSAGetLastError()));
        return false;
    }
    port_ = ntohs(at.sin_port);
    // Clients need an address they can reach: a manager listening on every interface
    // publishes this host's first address.
    uint32_t published = at.sin_addr.s_addr;
    if (published == htonl(INADDR_ANY)) {
        hostent *self = gethostbyname("");
        published = htonl(INADDR_LOOPBACK);
        if (self && self->h_addr_list[0]) std::memcpy(&published, self->h_addr_list[0], 4);
    }

    // Offered before the address is published: a client that finds the manager finds it
    // offering everything it offers.
    std::string home = data_home;
    if (!home.empty() && home.back() != '\\') home += '\\';
    shared_home_ = fxi_conn_shm_home(home);
    if (options_.shared_memory && fxi_conn_shm_wanted()) offer_shared_memory();
    if (options_.manager_window && fxi_conn_window_messages()) offer_window();
    address_file_ = fxi_conn_address_file(data_home, manager_);
    // Held open without write sharing for as long as the manager runs: a client that can open
    // it exclusively knows the manager has gone.
    address_handle_ =
        CreateFileA(address_file_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (address_handle_ == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION)
            *error = "another manager holds " + address_file_;
        else
            fxd_fmt_assign(*error, "cannot write %str%: error %dword%,5", address_file_.c_str(),
                           code);
        return false;
    }
    uint8_t bytes[DXI_CONN_ADDRESS_SIZE];
    fxi_conn_address_encode(published, at.sin_port, bytes);
    DWORD written = 0;
    if (!WriteFile(address_handle_, bytes, sizeof bytes, &written, nullptr) ||
        written != sizeof bytes || !FlushFileBuffers(address_handle_)) {
        fxd_fmt_assign(*error, "cannot write %str%: error %dword%,5", address_file_.c_str(),
                       GetLastError());
        CloseHandle(address_handle_);
        address_handle_ = INVALID_HANDLE_VALUE;
        DeleteFileA(address_file_.c_str());
        return false;
    }
    log("listening on %str%, address file %str%", peer_text(published, at.sin_port).c_str(),
        address_file_.c_str());
    return true;
}

// ---- Shared memory ----

void CXI_MANAGER::offer_shared_memory() {
    std::promise<bool> ready;
    std::future<bool> offered = ready.get_future();
    announcing_ = true;
    // The thread owns the promise: it may still be signalling when this call goes on.
    announcer_ = std::thread([this, ready = std::move(ready)]() mutable {
        // Machine-wide, so that clients in every session find it; a manager that may not make
        // a mapping there (run by an ordinary user, not as a service) offers it to its own
        // session.
        LPSECURITY_ATTRIBUTES shared = kova_shared_object_security();
        std::string base;
        TXI_CONN_HANDLE mapping;
        for (TXI_SHM_NAMESPACE space : {TXI_SHM_NAMESPACE::global, TXI_SHM_NAMESPACE::local}) {
            base = fxi_conn_shm_announce_base(manager_, shared_home_, space);
            mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, shared, PAGE_READWRITE, 0,
                                             DXI_SHM_ANNOUNCE_SIZE, base.c_str()));
            if (mapping || GetLastError() != ERROR_ACCESS_DENIED) break;
            log("cannot offer shared memory to other sessions: error %dword%,5; offering it to "
                "this session",
                GetLastError());
        }
        bool taken = mapping && GetLastError() == ERROR_ALREADY_EXISTS;
        TXI_CONN_VIEW view;
        if (mapping) view.reset(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        TXI_CONN_HANDLE asked(CreateEventA(shared, FALSE, FALSE, (base + "Q").c_str()));
        TXI_CONN_HANDLE answered(CreateEventA(shared, FALSE, FALSE, (base + "A").c_str()));
        TXI_CONN_HANDLE turn(CreateMutexA(shared, FALSE, (base + "C").c_str()));
        // Owned by this thread for as long as it offers the transport.
        TXI_CONN_HANDLE alive(CreateMutexA(shared, TRUE, (base + "M").c_str()));
        bool ok = !taken && view.get() && asked && answered && turn && alive &&
                  GetLastError() != ERROR_ALREADY_EXISTS;
        if (!ok)
            log("shared memory not offered: cannot make %str%: error %dword%,5", base.c_str(),
                taken ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : GetLastError());
        ready.set_value(ok);
        if (!ok) return;
        uint8_t *at = view.get();
        while (announcing_) {
            if (WaitForSingleObject(asked.get(), DXI_SHM_LIVENESS_SLICE) != WAIT_OBJECT_0) continue;
            uint16_t length = std::min<uint16_t>(fxi_conn_get16(at + DXI_SHM_ANNOUNCE_LENGTH),
                                                 DXI_SHM_PACKET_MAX);
            uint8_t packet[DXI_SHM_PACKET_MAX] = {};
            std::memcpy(packet, at + DXI_SHM_ANNOUNCE_PACKET, length);
            bool admitted = length >= 4 && admit_shared(packet, length);
            fxi_conn_put16(at + DXI_SHM_ANNOUNCE_ANSWER, admitted ? 1 : 0);
            fxi_conn_put32(at + DXI_SHM_ANNOUNCE_FOR, fxi_conn_get32(packet));
            SetEvent(answered.get());
        }
        ReleaseMutex(alive.get());
    });
    if (!offered.get()) {
        announcer_.join();
        announcing_ = false;
        return;
    }
    log("shared memory offered to clients on this machine (home %str%)", shared_home_.c_str());
}

void CXI_MANAGER::stop_offering() {
    announcing_ = false;
    if (announcer_.joinable()) announcer_.join();
    // Its clients see the window go, which fails whatever they wait for. The window's thread
    // may be waiting for the lock in a notice: it finds no window then and ends.
    std::unique_ptr<TXI_MANAGER_WINDOW> closing;
    {
        std::lock_guard guard(lock_);
        closing = std::move(window_);
    }
    closing.reset();
}

// ---- The manager's window ----

void CXI_MANAGER::offer_window() {
    TXI_MANAGER_WINDOW_EVENTS events;
    events.notice = [this](TXI_WINDOW_CLIENT client) { window_notice(client); };
    events.round = [this] { return window_round(); };
    events.close = [this] {
        log("asked to end through the window");
        shutdown();
    };
    std::string error;
    // A client may post before the window is handed over: its notice waits for the lock.
    std::lock_guard guard(lock_);
    window_ = fxi_manager_window_open(manager_, shared_home_, std::move(events), &error);
    if (window_)
        log("window offered to clients on this desktop (home %str%)", shared_home_.c_str());
    else
        log("window not offered: %str%", error.c_str());
}

CXI_MANAGER::Client *CXI_MANAGER::admit_window(TXI_WINDOW_CLIENT client_window) {
    uint32_t process = window_->client_process(client_window);
    if (process == 0) return nullptr; // gone before it was heard
    auto link = std::make_unique<WindowLink>();
    link->window = client_window;
    link->mapping.reset(
        fxi_conn_shm_open_block(manager_, client_window, 0, process, TXI_SHM_NAMESPACE::local));
    if (link->mapping)
        link->view.reset(MapViewOfFile(link->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!link->view.get()) {
        log("process %dword%,5 posted to the window but its shared memory cannot be opened: error "
            "%dword%,5",
            process, GetLastError());
        return nullptr;
    }
    Client &c = clients_.emplace_back();
    c.window = std::move(link);
    c.info.number = next_number();
    c.info.shared = true;
    fxd_fmt_assign(c.info.peer, "process %dword%,5, window", process);
    return &c;
}

void CXI_MANAGER::window_notice(TXI_WINDOW_CLIENT client_window) {
    std::lock_guard guard(lock_);
    // A manager that accepted a stop serves nobody further, as for the other transports.
    if (stopping_ || shutdown_ || !window_) return;
    Client *c = nullptr;
    for (Client &candidate : clients_)
        if (candidate.window && !candidate.dead && candidate.window->window == client_window)
            c = &candidate;
    if (!c && !(c = admit_window(client_window))) return;
    std::vector<uint8_t> message(size_);
    take_message(c->window->view.get(), message.data(), size_);
    if (!handle(*c, message.data()) || c->dead) return;
    if (c->close_after_flush && c->out.empty()) end_signed_off(*c);
}

bool CXI_MANAGER::window_round() {
    std::lock_guard guard(lock_);
    if (!window_) return false;
    ULONGLONG now = GetTickCount64();
    bool look = now - window_checked_ >= DXI_SHM_LIVENESS_SLICE;
    if (look) window_checked_ = now;
    bool pending = false;
    for (Client &c : clients_) {
        if (!c.window || c.dead) continue;
        // A client's window goes with its process.
        if (look && !window_->client_alive(c.window->window)) {
            if (!c.close_after_flush)
                log("client %word%,5 (%str%) went away", static_cast<int>(c.info.number),
                    c.info.peer.c_str());
            c.dead = true;
            continue;
        }
        if (deliver_window(c) && !c.out.empty()) pending = true;
    }
    return pending;
}

bool CXI_MANAGER::deliver_window(Client &c) {
    if (!put_reply(c.out, c.window->view.get(), size_)) return true;
    if (window_ && window_->notify(c.window->window, TXI_WINDOW_NOTICE::reply)) return true;
    drop(c, "its window is gone");
    return false;
}

bool CXI_MANAGER::admit_shared(const uint8_t *packet, uint16_t length) {
    uint32_t process = fxi_conn_get32(packet);
    uint64_t qualifier = 0;
    if (length >= 16)
        qualifier = fxi_conn_get32(packet + 8) | static_cast<uint64_t>(fxi_conn_get32(packet + 12))
                                                     << 32;
    auto link = std::make_unique<SharedLink>();
    std::string base = fxi_conn_shm_base(manager_, process, qualifier, shared_home_);
    link->mapping.reset(
        fxi_conn_shm_open_block(manager_, process, qualifier, process, TXI_SHM_NAMESPACE::global));
    if (link->mapping)
        link->view.reset(MapViewOfFile(link->mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    link->request.reset(OpenEventA(DXI_SHM_EVENT_ACCESS, FALSE, base.c_str()));
    link->reply.reset(OpenEventA(DXI_SHM_EVENT_ACCESS, FALSE, (base + "R").c_str()));
    link->manager_mutex.reset(OpenMutexA(DXI_SHM_MUTEX_ACCESS, FALSE, (base + "RM").c_str()));
    link->client_mutex.reset(OpenMutexA(DXI_SHM_MUTEX_ACCESS, FALSE, (base + "RC").c_str()));
    if (!link->view.get() || !link->request || !link->reply || !link->manager_mutex ||
        !link->client_mutex) {
        log("process %dword%,5 announced itself but its shared memory cannot be opened: error "
            "%dword%,5",
            process, GetLastError());
        return false;
    }
    std::unique_lock guard(lock_);
    if (stopping_ || shutdown_) return false; // on its way out: no new client
    Client &c = clients_.emplace_back();
    c.shared = std::move(link);
    c.info.number = next_number();
    c.info.shared = true;
    fxd_fmt_assign(c.info.peer, "process %dword%,5", process);
    std::promise<bool> ready;
    std::future<bool> holding = ready.get_future();
    c.shared->thread = std::thread([this, &c, ready = std::move(ready)]() mutable {
        // The client takes the manager mutex coming free for the manager's end: this thread
        // holds it while it serves the client.
        DWORD took = WaitForSingleObject(c.shared->manager_mutex.get(), 0);
        bool ok = took == WAIT_OBJECT_0 || took == WAIT_ABANDONED;
        ready.set_value(ok);
        if (!ok) return;
        serve_shared(c);
        ReleaseMutex(c.shared->manager_mutex.get());
    });
    if (!holding.get()) {
        c.dead = true;
        log("process %dword%,5 refused: its manager mutex is taken", process);
        return false;
    }
    return true;
}

void CXI_MANAGER::serve_shared(Client &c) {
    SharedLink &link = *c.shared;
    uint8_t *block = link.view.get();
    std::vector<uint8_t> message(size_);
    bool pending = false;
    ULONGLONG checked = GetTickCount64();
    while (!link.end) {
        DWORD r = WAIT_TIMEOUT;
        if (pending) {
            // A reply queued behind one the client has not taken yet (the chunks of a long
            // message) goes as soon as it has taken that one. The client asks nothing before
            // it has all its replies, so only the block needs watching meanwhile.
            await_taken(block, GetTickCount64() + DXI_SHM_LIVENESS_SLICE);
        } else {
            r = WaitForSingleObject(link.request.get(), DXI_SHM_LIVENESS_SLICE);
        }
        ULONGLONG now = GetTickCount64();
        std::lock_guard guard(lock_);
        // A manager that accepted a stop serves nobody further, as its serving loop ends at
        // once for the sockets; the connection closes with the others.
        if (link.end || c.dead || stopping_ || shutdown_) break;
        if (r == WAIT_OBJECT_0) {
            take_message(block, message.data(), size_);
            if (!handle(c, message.data()) || c.dead) break;
        } else if (r != WAIT_TIMEOUT) {
            drop(c, "its request event failed");
            break;
        } else if (!deliver_shared(c)) {
            break;
        }
        if (now - checked >= DXI_SHM_LIVENESS_SLICE) {
            checked = now;
            if (fxi_conn_shm_owner_gone(link.client_mutex.get())) {
                if (!c.close_after_flush)
                    log("client %word%,5 (%str%) went away", static_cast<int>(c.info.number),
                        c.info.peer.c_str());
                c.dead = true;
                break;
            }
        }
        if (c.close_after_flush && c.out.empty()) {
            end_signed_off(c);
            break;
        }
        pending = !c.out.empty();
    }
}

// A client on shared memory or the window whose sign-off reply has gone ends before the lock
// goes, so that whatever it does next (a new connection, say) finds it gone, as after a
// socket's close.
void CXI_MANAGER::end_signed_off(Client &c) {
    c.dead = true;
    c.closed_told = true;
    closed(c.info, false);
}

bool CXI_MANAGER::deliver_shared(Client &c) {
    if (!put_reply(c.out, c.shared->view.get(), size_)) return true;
    if (SetEvent(c.shared->reply.get())) return true;
    drop(c, "cannot signal its reply");
    return false;
}

size_t CXI_MANAGER::attached_clients(const TXI_MANAGER_CLIENT *except) const {
    size_t n = 0;
    for (const Client &c : clients_)
        if (c.info.attached && !c.dead && !c.close_after_flush && &c.info != except) ++n;
    return n;
}

CXI_MANAGER::Client *CXI_MANAGER::find(const TXI_MANAGER_CLIENT &info) {
    for (Client &c : clients_)
        if (&c.info == &info) return &c;
    return nullptr;
}

uint16_t CXI_MANAGER::next_number() {
    for (;;) {
        if (++last_number_ == 0 || last_number_ == 65535) last_number_ = 1;
        bool used = false;
        for (const Client &c : clients_) used = used || c.info.number == last_number_;
        if (!used) return last_number_;
    }
}

void CXI_MANAGER::reply(TXI_MANAGER_CLIENT &info, const uint8_t *message) {
    Client *c = find(info);
    if (!c || c->dead) return;
    c->out.append(reinterpret_cast<const char *>(message), size_);
    if (c->window) {
        // The parts of a long answer go as soon as the client takes each, which its own thread
        // does at once; one that takes too long gets the rest from the window's rounds.
        ULONGLONG until = GetTickCount64() + DXI_SHM_HAND_OVER_WAIT;
        bool delivered = deliver_window(*c);
        while (delivered && !c->out.empty() && !c->dead &&
               await_taken(c->window->view.get(), until))
            delivered = deliver_window(*c);
        if (delivered && c->out.size() > max_unsent) drop(*c, "it does not read its replies");
        return;
    }
    if (c->shared) {
        deliver_shared(*c);
        // The client's own thread sends the rest once the client has taken what is in the
        // block. Another client's request that answers this one (a grant to a waiting reader)
        // runs on another thread, while the client's own sleeps until its next request: the
        // chunks go from here, as soon as the client takes each, unless it takes too long.
        if (!c->out.empty() && std::this_thread::get_id() != c->shared->thread.get_id()) {
            ULONGLONG until = GetTickCount64() + DXI_SHM_HAND_OVER_WAIT;
            while (!c->out.empty() && !c->dead && await_taken(c->shared->view.get(), until))
                if (!deliver_shared(*c)) break;
        }
        if (c->out.size() > max_unsent) drop(*c, "it does not read its replies");
        return;
    }
    if (!send_pending(*c))
        drop(*c, "cannot send to it");
    else if (c->out.size() > max_unsent)
        drop(*c, "it does not read its replies");
}

bool CXI_MANAGER::reachable(const TXI_MANAGER_CLIENT &info) {
    Client *c = find(info);
    return c && !c->dead && !c->close_after_flush;
}

bool CXI_MANAGER::send_pending(Client &c) {
    while (!c.out.empty()) {
        int n = send(c.socket, c.out.data(), static_cast<int>(c.out.size()), 0);
        if (n == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK;
        c.out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

void CXI_MANAGER::drop(Client &c, const char *why) {
    if (c.dead) return;
    c.dead = true;
    log("client %word%,5 (%str%) dropped: %str%", static_cast<int>(c.info.number),
        c.info.peer.c_str(), why);
    // A client on the window waits for its reply for as long as the window is there: it is told
    // that none comes, as the end of a connection's thread tells one on named events.
    if (c.window && window_) (void)window_->notify(c.window->window, TXI_WINDOW_NOTICE::failed);
}

void CXI_MANAGER::accept_clients() {
    for (;;) {
        sockaddr_in from{};
        int length = sizeof from;
        SOCKET s = accept(listener_, reinterpret_cast<sockaddr *>(&from), &length);
        if (s == INVALID_SOCKET) {
            int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                // Out of descriptors or memory: the waiting client stays queued; pausing keeps
                // the poll from spinning on it.
                log("cannot accept a client: Winsock error %dword%,5",
                    static_cast<uint32_t>(error));
                Sleep(50);
            }
            return;
        }
        ULONG nonblocking = 1;
        BOOL on = TRUE;
        ioctlsocket(s, FIONBIO, &nonblocking);
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
        tcp_keepalive values{1, 300000, 1000};
        DWORD returned = 0;
        WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr);
        Client &c = clients_.emplace_back();
        c.socket = s;
        c.info.number = next_number();
        c.info.peer = peer_text(from.sin_addr.s_addr, from.sin_port);
    }
}

bool CXI_MANAGER::receive(Client &c) {
    char buffer[16384];
    for (;;) {
        int n = recv(c.socket, buffer, sizeof buffer, 0);
        if (n == 0) {
            if (!c.in.empty())
                log("client %word%,5 (%str%) went away in the middle of a message (%dword%,5 of "
                    "%word%,5 bytes)",
                    static_cast<int>(c.info.number), c.info.peer.c_str(),
                    static_cast<uint32_t>(c.in.size()), static_cast<int>(size_));
            else if (!c.close_after_flush)
                log("client %word%,5 (%str%) closed its connection",
                    static_cast<int>(c.info.number), c.info.peer.c_str());
            c.dead = true;
            return false;
        }
        if (n == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) break;
            log("client %word%,5 (%str%) lost: Winsock error %dword%,5",
                static_cast<int>(c.info.number), c.info.peer.c_str(), static_cast<uint32_t>(error));
            c.dead = true;
            return false;
        }
        c.in.append(buffer, static_cast<size_t>(n));
        if (n < static_cast<int>(sizeof buffer)) break;
    }
    size_t used = 0;
    std::vector<uint8_t> message(size_);
    while (c.in.size() - used >= size_ && !c.dead && !c.close_after_flush && !stopping_) {
        std::memcpy(message.data(), c.in.data() + used, size_);
        used += size_;
        if (!handle(c, message.data())) return false;
    }
    c.in.erase(0, used);
    return !c.dead;
}

bool CXI_MANAGER::handle(Client &c, uint8_t *message) {
    uint16_t code = fxi_conn_get16(message);
    std::vector<uint8_t> answer(size_, 0);
    if (code == DXI_CONN_ATTACH) {
        fxi_conn_attach_decode(message, size_, &c.info.attach);
        c.info.attached = true;
        fxi_conn_put16(answer.data() + 4, c.info.number);
        log("client %word%,5 (%str%) attached: computer '%str%' user '%str%' process %dword%,5",
            static_cast<int>(c.info.number), c.info.peer.c_str(), c.info.attach.computer,
            c.info.attach.user_id, c.info.attach.process_id);
        reply(c.info, answer.data());
        return true;
    }
    if (!c.info.attached) {
        drop(c, "request before attach");
        return false;
    }
    switch (code) {
    case DXI_CONN_DETACH:
    case DXI_CONN_SIGNOFF:
        log("client %word%,5 %str%", static_cast<int>(c.info.number),
            code == DXI_CONN_DETACH ? "detached" : "signed off");
        reply(c.info, answer.data());
        // A shared-memory client detaches after its sign-off: its connection ends with that.
        if ((!c.shared && !c.window) || code == DXI_CONN_DETACH) c.close_after_flush = true;
        return true;
    case DXI_CONN_STOP: {
        size_t others = attached_clients(&c.info);
        if (others > 0) {
            log("stop from client %word%,5 refused: %dword%,5 other clients attached",
                static_cast<int>(c.info.number), static_cast<uint32_t>(others));
            fxi_conn_put16(answer.data(), static_cast<uint16_t>(std::min<size_t>(others, 65535)));
        } else {
            log("stopping at the request of client %word%,5", static_cast<int>(c.info.number));
            stopping_ = true;
        }
        reply(c.info, answer.data());
        return true;
    }
    case DXI_CONN_FORCED_STOP:
        log("forced stop from client %word%,5 (%dword%,5 other clients attached)",
            static_cast<int>(c.info.number), static_cast<uint32_t>(attached_clients(&c.info)));
        stopping_ = true;
        reply(c.info, answer.data());
        return true;
    default:
        if (request(c.info, message)) return true;
        drop(c, "malformed message");
        return false;
    }
}

void CXI_MANAGER::run() {
    std::vector<WSAPOLLFD> fds;
    std::vector<Client *> owners;
    std::list<Client> gone;
    std::unique_lock guard(lock_);
    while (!stopping_ && !shutdown_) {
        fds.clear();
        owners.clear();
        fds.push_back({listener_, POLLRDNORM, 0});
        owners.push_back(nullptr);
        for (Client &c : clients_) {
            if (c.socket == INVALID_SOCKET) continue; // served by its own thread or the window
            short events = c.close_after_flush ? 0 : POLLRDNORM;
            if (!c.out.empty()) events |= POLLWRNORM;
            fds.push_back({c.socket, events, 0});
            owners.push_back(&c);
        }
        // A shut-down request from a control handler and work due by time are noticed within
        // this time.
        guard.unlock();
        int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), DXI_MANAGER_TICK);
        guard.lock();
        if (ready == SOCKET_ERROR) {
            log("poll failed: Winsock error %dword%,5", static_cast<uint32_t>(WSAGetLastError()));
            break;
        }
        for (size_t i = 1; i < fds.size() && !stopping_; ++i) {
            Client &c = *owners[i];
            if (c.dead) continue;
            if ((fds[i].revents & POLLWRNORM) && !send_pending(c)) {
                drop(c, "cannot send to it");
                continue;
            }
            if (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) receive(c);
        }
        if (fds[0].revents & POLLRDNORM) accept_clients();
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->close_after_flush && it->out.empty()) it->dead = true;
            if (!it->dead) {
                ++it;
                continue;
            }
            if (!it->closed_told) closed(it->info, !it->out.empty());
            if (it->shared) {
                // Its thread may be waiting for the lock: it is ended once the lock is given up.
                auto next = std::next(it);
                gone.splice(gone.end(), clients_, it);
                it = next;
                continue;
            }
            if (it->socket != INVALID_SOCKET) closesocket(it->socket);
            it = clients_.erase(it);
        }
        tick(GetTickCount64());
        if (!gone.empty()) {
            guard.unlock();
            gone.clear();
            guard.lock();
        }
    }
    guard.unlock();
    finish();
}

void CXI_MANAGER::finish() {
    // No more clients are admitted while the others are closed.
    stop_offering();
    std::unique_lock guard(lock_);
    // The last replies (the answer to the stop among them) go out before the connections close.
    ULONGLONG deadline = GetTickCount64() + 2000;
    for (;;) {
        std::vector<WSAPOLLFD> fds;
        std::vector<Client *> owners;
        for (Client &c : clients_)
            if (!c.dead && !c.out.empty() && c.socket != INVALID_SOCKET) {
                fds.push_back({c.socket, POLLWRNORM, 0});
                owners.push_back(&c);
            }
        ULONGLONG now = GetTickCount64();
        if (fds.empty() || now >= deadline) break;
        guard.unlock();
        WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<INT>(deadline - now));
        guard.lock();
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents && !send_pending(*owners[i])) owners[i]->dead = true;
    }
    for (Client &c : clients_) {
        if (!c.closed_told) closed(c.info, !c.out.empty());
        if (c.socket != INVALID_SOCKET) closesocket(c.socket);
        c.dead = true;
    }
    std::list<Client> closing;
    closing.splice(closing.end(), clients_);
    guard.unlock();
    closing.clear();
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    if (address_handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(address_handle_);
        address_handle_ = INVALID_HANDLE_VALUE;
        DeleteFileA(address_file_.c_str());
    }
    log("stopped");
}
