// Manager connections, client side: the choice of transport, addressing, the stream
// transport, fixed-size messages and the attach, stop and sign-off requests.
#include "kernel/coord/conn.h"

#include "kernel/coord/conn_local.h"
#include "kernel/coord/conn_shm_client.h"
#include "kernel/coord/conn_window.h"
#include "kernel/text/format.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

// ---- Process-wide state of the layer ----

std::atomic<bool> initialised{false};
std::atomic<bool> winsock_started{false};
std::atomic<bool> diagnostic{false};

// Every open link, so that the layer's shut-down closes what its users left open. Never
// destroyed: links held by objects of static duration close at exit, after it.
std::mutex &links_lock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}
std::set<TXI_CONN_LINK *> &open_links() {
    static std::set<TXI_CONN_LINK *> *links = new std::set<TXI_CONN_LINK *>;
    return *links;
}

const char *manager_word(uint16_t size) {
    return size == DXI_CONN_QUEUE_SIZE ? "queue" : "file";
}

// One candidate address of the manager: the TCP/IP slot or the IPX slot.
struct Slot {
    uint16_t family = 0;
    uint16_t port = 0;    // network order
    uint32_t address = 0; // network order
    bool empty() const { return family == 0 && port == 0 && address == 0; }
};

// The host part of "host:port": a dotted IPv4 address, else the first address of the name.
bool resolve_host(const std::string &host, uint32_t *address) {
    unsigned long a = inet_addr(host.c_str());
    if (a != INADDR_NONE) {
        *address = static_cast<uint32_t>(a);
        return true;
    }
    hostent *entry = gethostbyname(host.c_str());
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return false;
    std::memcpy(address, entry->h_addr_list[0], 4);
    return true;
}

// The port after the colon: decimal digits up to the end or a blank; more than 16 bits, a
// non-digit or no digit at all is an error.
bool parse_port(const char *text, uint16_t *port) {
    uint32_t value = 0;
    int digits = 0;
    for (; *text && *text != ' '; ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > 65535) return false;
        ++digits;
    }
    if (digits == 0) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// Reads the address file of `manager` in the data home into the two slots.
uint16_t read_address_file(uint16_t manager, uint16_t *confirmed, Slot *tcp, Slot *ipx) {
    std::string path = fxi_conn_address_file(fxi_conn_data_home(), manager);
    if (*confirmed == 0) {
        // A manager holds its address file open while it runs; a file that can be opened
        // exclusively is left over from one that ended without removing it. One attempt is
        // the answer: a sharing violation is exactly what a live manager gives.
        fxk_debug_trace("fxi_file_open start");
        HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe != INVALID_HANDLE_VALUE) {
            CloseHandle(probe);
            DeleteFileA(path.c_str());
            return DXI_CONN_NO_ADDRESS;
        }
        fxk_debug_trace("fxi_file_open end");
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    ULONGLONG deadline = GetTickCount64() + 5000;
    for (;;) {
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount64() >= deadline)
            break;
        fxk_debug_trace("fxi_file_open retry");
        fxi_conn_wait(1);
    }
    if (file == INVALID_HANDLE_VALUE) {
        *confirmed = 0;
        return DXI_CONN_NO_ADDRESS;
    }
    uint8_t bytes[DXI_CONN_ADDRESS_SIZE] = {};
    DWORD got = 0, total = 0;
    bool read_ok = true;
    // Read until the file ends or both slots are in; a file of the IPX slot alone is complete.
    while (total < DXI_CONN_ADDRESS_SIZE) {
        if (!ReadFile(file, bytes + total, DXI_CONN_ADDRESS_SIZE - total, &got, nullptr)) {
            read_ok = false;
            break;
        }
        if (got == 0) break;
        total += got;
    }
    CloseHandle(file);
    fxk_debug_trace("fh closed");
    if (!read_ok || (total != DXI_CONN_ADDRESS_IPX && total != DXI_CONN_ADDRESS_SIZE)) {
        *confirmed = 0;
        return DXI_CONN_NO_ADDRESS;
    }
    bool ipx_set = std::any_of(bytes, bytes + DXI_CONN_ADDRESS_IPX, [](uint8_t b) { return b; });
    if (ipx_set) ipx->family = AF_IPX;
    if (total == DXI_CONN_ADDRESS_SIZE) {
        const uint8_t *in = bytes + DXI_CONN_ADDRESS_IPX;
        tcp->family = fxi_conn_get16(in);
        std::memcpy(&tcp->port, in + 2, 2);
        std::memcpy(&tcp->address, in + 4, 4);
    }
    *confirmed = 1;
    return 0;
}

// Connects a socket to one slot; INVALID_SOCKET when this slot gives no connection.
SOCKET connect_slot(const Slot &slot) {
    SOCKET s = socket(slot.family, SOCK_STREAM, slot.family == AF_IPX ? NSPROTO_SPX : 0);
    fxk_debug_trace("socket end");
    if (s == INVALID_SOCKET) {
        fxk_debug_trace("connect() failed - error %dword%,5",
                        static_cast<uint32_t>(WSAGetLastError()));
        return INVALID_SOCKET;
    }
    fxk_debug_trace("connect start");
    sockaddr_in to{};
    to.sin_family = static_cast<short>(slot.family);
    to.sin_port = slot.port;
    to.sin_addr.s_addr = slot.address;
    if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) == SOCKET_ERROR) {
        fxk_debug_trace("connect() failed - error %dword%,5",
                        static_cast<uint32_t>(WSAGetLastError()));
        closesocket(s);
        return INVALID_SOCKET;
    }
    fxk_debug_trace("connect end - error %word%,5", 0);
    if (slot.family == AF_INET) {
        tcp_keepalive values{1, 300000, 1000};
        DWORD returned = 0;
        if (WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                     nullptr) == SOCKET_ERROR) {
            BOOL on = TRUE;
            setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on);
        }
        BOOL nodelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay),
                   sizeof nodelay);
    }
    return s;
}

void show_line(const std::string &text) {
    if (diagnostic) fxi_conn_diag_line(text.c_str());
}

template <typename... Args> void diag(const char *format, Args... args) {
    if (!diagnostic) return;
    std::string line;
    fxd_fmt_assign(line, format, args...);
    show_line(line);
}

// Whether the local transports are to be tried: not when LXICONN_FORCE_WINSOCK is set, nor
// for a server named other than this computer.
bool local_server(const char *server) {
    char value[8];
    if (GetEnvironmentVariableA("LXICONN_FORCE_WINSOCK", value, sizeof value) > 0) return false;
    if (!server || !*server) return true;
    char computer[64] = {};
    DWORD length = sizeof computer;
    if (!GetComputerNameA(computer, &length)) return false;
    std::string name = computer;
    size_t first = name.find_first_not_of(' ');
    name = first == std::string::npos ? std::string()
                                      : name.substr(first, name.find_last_not_of(' ') - first + 1);
    return name.size() == std::strlen(server) &&
           std::equal(name.begin(), name.end(), server, [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) ==
                      std::toupper(static_cast<unsigned char>(b));
           });
}

uint16_t exchange_request(TXI_CONN_STATE *state, uint16_t request, uint16_t *answer) {
    std::vector<uint8_t> message(state->message_size, 0);
    fxi_conn_put16(message.data(), request);
    uint16_t status = fxi_conn_transact(state, message.data(), message.data());
    if (status == 0 && answer) *answer = fxi_conn_get16(message.data());
    return status;
}

} // namespace

// ---- Links ----

TXI_CONN_LINK::~TXI_CONN_LINK() {
    close();
}

int TXI_CONN_LINK::close() {
    if (socket_ == INVALID_SOCKET) return 0;
    {
        std::lock_guard<std::mutex> guard(links_lock());
        open_links().erase(this);
    }
    int rc = closesocket(socket_);
    socket_ = INVALID_SOCKET;
    return rc;
}

// ---- Layer ----

uint16_t fxi_conn_init() {
    if (initialised) return 0;
    WSADATA data;
    winsock_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    initialised = true;
    return 0;
}

void fxi_conn_term() {
    if (!initialised) return;
    std::vector<TXI_CONN_LINK *> links;
    {
        std::lock_guard<std::mutex> guard(links_lock());
        links.assign(open_links().begin(), open_links().end());
    }
    for (TXI_CONN_LINK *link : links) link->close();
    if (winsock_started) WSACleanup();
    winsock_started = false;
    initialised = false;
}

bool fxi_conn_initialised() {
    return initialised;
}

bool fxi_conn_diagnostic() {
    return diagnostic;
}

// ---- Operations ----

uint16_t fxi_conn_connect(const char *server, uint16_t manager, uint16_t flags, uint16_t size,
                          const uint16_t *user_slot, uint16_t *confirmed, uint32_t qualifier_low,
                          uint32_t qualifier_high, TXI_CONN_STATE *state, uint16_t *attach_answer,
                          const char *user_id, const uint8_t *block) {
    // Sockets are always blocking here: the notification modes of the flags have no use.
    if (!initialised) return DXI_CONN_NOT_READY;
    *state = TXI_CONN_STATE{};
    state->message_size = size;
    uint16_t unconfirmed = 0;
    if (!confirmed) confirmed = &unconfirmed;

    diagnostic = fxi_conn_ini_yes("services", "diaghline");

    Slot tcp, ipx;
    if (server && std::strchr(server, ':')) {
        const char *colon = std::strchr(server, ':');
        uint32_t address;
        uint16_t port;
        if (!resolve_host(std::string(server, colon), &address) || !parse_port(colon + 1, &port))
            return DXI_CONN_NO_TRANSPORT;
        tcp.family = AF_INET;
        tcp.address = address;
        tcp.port = htons(port);
    } else if (manager == DXI_CONN_RAW_IPX) {
        // A raw IPX address names the manager directly.
        if (!server) return DXI_CONN_NO_TRANSPORT;
        ipx.family = AF_IPX;
    } else {
        uint64_t qualifier = static_cast<uint64_t>(qualifier_high) << 32 | qualifier_low;
        // Named events first; a manager that offers none (or whose announcement cannot be
        // opened) may still have its window on this desktop.
        if (local_server(server)) {
            if (fxi_conn_shm_wanted())
                (void)fxi_conn_connect_shared(manager, flags, size, qualifier, confirmed,
                                              &state->shared);
            if (!state->shared && fxi_conn_window_messages())
                (void)fxi_conn_connect_window(manager, size,
                                              fxi_conn_shm_home(fxi_conn_data_home()), confirmed,
                                              &state->window);
        }
        if (!state->shared && !state->window) {
            uint16_t status = read_address_file(manager, confirmed, &tcp, &ipx);
            if (status) return status;
        }
    }

    if (state->shared || state->window) {
        // A local transport stands; no socket is needed.
    } else if (!winsock_started) {
        return DXI_CONN_NOT_READY;
    } else {
        SOCKET s = INVALID_SOCKET;
        for (const Slot *slot : {&tcp, &ipx}) {
            if (slot->empty()) continue;
            s = connect_slot(*slot);
            if (s != INVALID_SOCKET) break;
        }
        if (s == INVALID_SOCKET) return DXI_CONN_NO_TRANSPORT;
        state->link = std::make_shared<TXI_CONN_LINK>(s);
        std::lock_guard<std::mutex> guard(links_lock());
        open_links().insert(state->link.get());
    }

    if (manager != DXI_CONN_RAW_IPX) {
        TXI_CONN_ATTACH attach;
        attach.user_slot = user_slot ? *user_slot : DXI_CONN_NO_SLOT;
        char computer[64] = {};
        DWORD length = sizeof computer;
        if (GetComputerNameA(computer, &length)) {
            std::string name = computer;
            size_t first = name.find_first_not_of(' ');
            name = first == std::string::npos
                       ? std::string()
                       : name.substr(first, name.find_last_not_of(' ') - first + 1);
            std::strncpy(attach.computer, name.c_str(), sizeof attach.computer - 1);
        }
        // No terminal-services session names a client on this host: the field stays empty.
        std::strncpy(attach.user_id, fxi_conn_user_id(user_id).c_str(), sizeof attach.user_id - 1);
        if (block) std::memcpy(attach.block, block, sizeof attach.block);
        attach.process_id = GetCurrentProcessId();
        std::vector<uint8_t> message(size < DXI_CONN_ATTACH_SIZE ? DXI_CONN_ATTACH_SIZE : size);
        if (size < DXI_CONN_ATTACH_SIZE) {
            fxi_conn_close(state);
            return DXI_CONN_NO_TRANSPORT;
        }
        fxi_conn_attach_encode(attach, message.data(), size);
        uint16_t status = fxi_conn_transact(state, message.data(), message.data());
        if (status) {
            // A manager that does not take the attach leaves nothing worth keeping open.
            fxi_conn_close(state);
            return status;
        }
        if (attach_answer) *attach_answer = fxi_conn_get16(message.data());
        state->client_number = fxi_conn_get16(message.data() + 4);
    }
    return 0;
}

uint16_t fxi_conn_transact(TXI_CONN_STATE *state, const void *message, void *reply) {
    if (state->shared_open()) {
        uint16_t status = state->shared->send(message, reply != nullptr);
        return status || !reply ? status : state->shared->receive(reply);
    }
    if (state->window_open()) {
        uint16_t status = state->window->send(message, reply != nullptr);
        return status || !reply ? status : state->window->receive(reply);
    }
    SOCKET s = state->socket();
    if (s == INVALID_SOCKET) return DXI_CONN_SEND_FAILED;
    const char *word = manager_word(state->message_size);
    diag("Sending %dword%,5 bytes to %str% manager", static_cast<uint32_t>(state->message_size),
         word);
    const char *bytes = static_cast<const char *>(message);
    int left = state->message_size;
    while (left > 0) {
        int n = send(s, bytes, left, 0);
        if (n == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                diag("send() to %str% manager returned WSAEWOULDBLOCK", word);
                WSAPOLLFD p{s, POLLWRNORM, 0};
                WSAPoll(&p, 1, -1);
                continue;
            }
            diag("send() to %str% manager returned error %dword%,5", word,
                 static_cast<uint32_t>(error));
            return DXI_CONN_SEND_FAILED;
        }
        bytes += n;
        left -= n;
    }
    show_line("");
    return reply ? fxi_conn_receive(state, reply) : 0;
}

uint16_t fxi_conn_receive(TXI_CONN_STATE *state, void *buffer) {
    if (state->shared_open()) return state->shared->receive(buffer);
    if (state->window_open()) return state->window->receive(buffer);
    SOCKET s = state->socket();
    if (s == INVALID_SOCKET) return DXI_CONN_RECEIVE_FAILED;
    const char *word = manager_word(state->message_size);
    char *bytes = static_cast<char *>(buffer);
    int got = 0;
    while (got < state->message_size) {
        diag("Waiting for %str% manager socket to become readable", word);
        WSAPOLLFD p{s, POLLRDNORM, 0};
        if (WSAPoll(&p, 1, -1) == SOCKET_ERROR) {
            diag("Error %word%,5 on %str% manager read", WSAGetLastError() & 0xffff, word);
            return DXI_CONN_RECEIVE_FAILED;
        }
        diag("Attempting to receive %dword%,5 bytes from %str% manager",
             static_cast<uint32_t>(state->message_size - got), word);
        int n = recv(s, bytes + got, state->message_size - got, 0);
        if (n == 0) {
            diag("recv() from %str% manager returned zero - connection broken", word);
            return DXI_CONN_RECEIVE_FAILED;
        }
        if (n == SOCKET_ERROR) {
            int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                diag("recv() from %str% manager returned WSAEWOULDBLOCK", word);
                continue;
            }
            diag("recv() from %str% manager returned %dword%,5", word,
                 static_cast<uint32_t>(error));
            return DXI_CONN_RECEIVE_FAILED;
        }
        got += n;
    }
    show_line("");
    return 0;
}

uint16_t fxi_conn_disconnect(TXI_CONN_STATE *state, uint16_t *signoff) {
    uint16_t status = 0;
    if (signoff && state->connected()) status = exchange_request(state, DXI_CONN_SIGNOFF, signoff);
    // A manager on shared memory learns of the end from the detach; a socket's close says it.
    if ((state->shared_open() || state->window_open()) && status == 0) {
        uint16_t detached = 0;
        status = exchange_request(state, DXI_CONN_DETACH, &detached);
    }
    uint16_t closed = fxi_conn_close(state);
    return status ? status : closed;
}

uint16_t fxi_conn_stop(TXI_CONN_STATE *state, uint16_t force, uint16_t *answer) {
    uint16_t reply = 0;
    uint16_t status = exchange_request(state, force ? DXI_CONN_FORCED_STOP : DXI_CONN_STOP, &reply);
    if (status) {
        // The manager is gone or the link broke: nothing further can be asked on it.
        fxi_conn_close(state);
        return status;
    }
    if (answer) *answer = reply;
    if (reply != 0 && !force) return DXI_CONN_REFUSED;
    return fxi_conn_close(state);
}

uint16_t fxi_conn_close(TXI_CONN_STATE *state) {
    uint16_t status = 0;
    if (state->shared) {
        state->shared->close();
        state->shared.reset();
    }
    if (state->window) {
        state->window->close();
        state->window.reset();
    }
    if (state->link) {
        if (state->link->close() == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
            status = DXI_CONN_CLOSE_FAILED;
        state->link.reset();
    }
    return status;
}

bool TXI_CONN_STATE::window_open() const {
    return window && window->open();
}

// ---- The connection object ----

uint16_t CXI_CONN::connect(const char *server, uint16_t manager, uint16_t flags, uint16_t size,
                           const uint16_t *user_slot, uint16_t *confirmed, uint32_t qualifier_low,
                           uint32_t qualifier_high) {
    return status_ = fxi_conn_connect(server, manager, flags, size, user_slot, confirmed,
                                      qualifier_low, qualifier_high, &state_, &attach_answer_);
}

uint16_t CXI_CONN::transact(const void *message, void *reply) {
    return status_ = fxi_conn_transact(&state_, message, reply);
}

uint16_t CXI_CONN::receive(void *buffer) {
    return status_ = fxi_conn_receive(&state_, buffer);
}

uint16_t CXI_CONN::disconnect(uint16_t *signoff) {
    return status_ = fxi_conn_disconnect(&state_, signoff);
}

uint16_t CXI_CONN::stop(uint16_t force, uint16_t *answer) {
    return status_ = fxi_conn_stop(&state_, force, answer);
}

uint16_t CXI_CONN::close() {
    return status_ = fxi_conn_close(&state_);
}
