// The shared-memory transport, client side: the names both sides derive, the connection's
// own block, events and mutexes, the announcement to the manager, and sending and receiving
// through the block. Every wait watches the other side's mutex, so that a manager that ended
// fails the exchange instead of leaving the client waiting.
#include "kernel/coord/conn_shm.h"

#include "kernel/coord/conn.h"
#include "kernel/coord/conn_local.h"
#include "kernel/coord/conn_shm_client.h"
#include "kernel/coord/conn_window.h"
#include "kernel/text/format.h"
#include "platform/host.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

namespace {

std::string qualifier_suffix(uint64_t qualifier) {
    return qualifier ? "-" + std::to_string(qualifier) : std::string();
}

std::string bars_for_backslashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '|');
    return text;
}

} // namespace

uint8_t fxi_conn_shm_load_flag(const uint8_t *flag) {
    return std::atomic_ref<uint8_t>(*const_cast<uint8_t *>(flag)).load(std::memory_order_acquire);
}
void fxi_conn_shm_store_flag(uint8_t *flag, uint8_t value) {
    std::atomic_ref<uint8_t>(*flag).store(value, std::memory_order_release);
}

bool fxi_conn_shm_owner_gone(HANDLE mutex) {
    DWORD r = WaitForSingleObject(mutex, 0);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) {
        ReleaseMutex(mutex);
        return true;
    }
    return r == WAIT_FAILED;
}

bool fxi_conn_shm_await_taken(const uint8_t *block, const std::function<bool()> &manager_gone,
                              const std::atomic<bool> *failed) {
    ULONGLONG checked = GetTickCount64();
    for (int spins = 0; fxi_conn_shm_load_flag(block) == DXI_SHM_NO_REPLY; ++spins) {
        if (failed && failed->load()) return false;
        if (spins < 64)
            std::this_thread::yield();
        else
            Sleep(1);
        ULONGLONG now = GetTickCount64();
        if (now - checked >= DXI_SHM_LIVENESS_SLICE) {
            if (manager_gone() && fxi_conn_shm_load_flag(block) == DXI_SHM_NO_REPLY) return false;
            checked = now;
        }
    }
    return true;
}

// ---- Names ----

std::string fxi_conn_shm_block_name(uint16_t manager, uint32_t id, uint64_t qualifier,
                                    TXI_SHM_NAMESPACE space) {
    std::string name = space == TXI_SHM_NAMESPACE::global ? "Global\\" : "Local\\";
    fxd_fmt_append(name, "KOVA%word%,4%dword%,4", static_cast<int>(manager), id);
    return name + qualifier_suffix(qualifier);
}

HANDLE fxi_conn_shm_create_block(uint16_t manager, uint32_t id, uint64_t qualifier, uint16_t size,
                                 TXI_SHM_NAMESPACE widest) {
    for (TXI_SHM_NAMESPACE space : {TXI_SHM_NAMESPACE::global, TXI_SHM_NAMESPACE::local}) {
        if (space == TXI_SHM_NAMESPACE::global && widest != space) continue;
        std::string name = fxi_conn_shm_block_name(manager, id, qualifier, space);
        HANDLE mapping =
            CreateFileMappingA(INVALID_HANDLE_VALUE, kova_shared_object_security(), PAGE_READWRITE,
                               0, static_cast<DWORD>(size) + 1, name.c_str());
        if (mapping && GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(mapping);
            SetLastError(ERROR_ALREADY_EXISTS);
            return nullptr;
        }
        if (mapping) return mapping;
        // Only a refusal of the machine-wide namespace leaves the session's own to try.
        if (GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
    }
    return nullptr;
}

HANDLE fxi_conn_shm_open_block(uint16_t manager, uint32_t id, uint64_t qualifier,
                               uint32_t process_id, TXI_SHM_NAMESPACE widest) {
    std::vector<std::string> names;
    // Another transport's block of the same id may live machine-wide: never take that one.
    if (widest == TXI_SHM_NAMESPACE::global)
        names.push_back(fxi_conn_shm_block_name(manager, id, qualifier, TXI_SHM_NAMESPACE::global));
    std::string local = fxi_conn_shm_block_name(manager, id, qualifier, TXI_SHM_NAMESPACE::local);
    names.push_back(kova_object_name_of_process(local, process_id));
    if (names.back() != local) names.push_back(local);
    for (const std::string &name : names)
        if (HANDLE mapping = OpenFileMappingA(DXI_SHM_MAP_ACCESS, FALSE, name.c_str()))
            return mapping;
    return nullptr;
}

std::string fxi_conn_shm_base(uint16_t manager, uint32_t process_id, uint64_t qualifier,
                              const std::string &home) {
    std::string name;
    fxd_fmt_assign(name, "Global\\KOVA%word%,4%dword%,5", static_cast<int>(manager), process_id);
    return name + qualifier_suffix(qualifier) + bars_for_backslashes(home);
}

std::string fxi_conn_window_class(uint16_t manager) {
    switch (manager) {
    case DXI_CONN_QUEUE_MANAGER:
        return "KOVA Queue Manager";
    case DXI_CONN_FILE_MANAGER:
        return "KOVA File Manager";
    case DXI_CONN_TAPI_MANAGER:
        return "KOVA TAPI Manager";
    default:
        return {};
    }
}

bool fxi_conn_shm_wanted() {
    char value[8];
    return kova_named_objects_native() ||
           GetEnvironmentVariableA("LXICONN_SHARED_MEMORY", value, sizeof value) > 0;
}

std::string fxi_conn_shm_announce_base(uint16_t manager, const std::string &home,
                                       TXI_SHM_NAMESPACE space) {
    std::string name = space == TXI_SHM_NAMESPACE::global ? "Global\\" : "Local\\";
    fxd_fmt_append(name, "KOVA%word%,4P", static_cast<int>(manager));
    return name + bars_for_backslashes(home);
}

std::string fxi_conn_shm_home(const std::string &data_home) {
    std::string ini = data_home;
    if (!ini.empty() && ini.back() != '\\') ini += '\\';
    ini += "kova.ini";
    char home[522] = {};
    GetPrivateProfileStringA("services", "home", "", home, sizeof home, ini.c_str());
    std::string text = home[0] ? home : data_home;
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

// ---- The connection's transport ----

TXI_CONN_SHARED::~TXI_CONN_SHARED() {
    close();
}

bool TXI_CONN_SHARED::open() const {
    return view_.get() != nullptr;
}

void TXI_CONN_SHARED::close() {
    view_.reset();
    mapping_.reset();
    request_.reset();
    reply_.reset();
    if (watcher_.joinable()) {
        SetEvent(stop_.get());
        watcher_.join();
    }
    stop_.reset();
    manager_mutex_.reset();
    client_mutex_.reset();
}

bool TXI_CONN_SHARED::create(uint16_t manager, uint16_t size, uint64_t qualifier,
                             const std::string &home) {
    size_ = size;
    uint32_t process = GetCurrentProcessId();
    // Names in use by another connection of this process are left to it (the error says so).
    mapping_.reset(
        fxi_conn_shm_create_block(manager, process, qualifier, size, TXI_SHM_NAMESPACE::global));
    if (!mapping_) return false;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_.get()) return false;
    fxi_conn_shm_store_flag(view_.get(), 0);

    // Events and mutexes may be made machine-wide by anyone: their names need no fallback.
    std::string base = fxi_conn_shm_base(manager, process, qualifier, home);
    LPSECURITY_ATTRIBUTES shared = kova_shared_object_security();
    request_.reset(CreateEventA(shared, FALSE, FALSE, base.c_str()));
    reply_.reset(CreateEventA(shared, FALSE, FALSE, (base + "R").c_str()));
    manager_mutex_.reset(CreateMutexA(shared, FALSE, (base + "RM").c_str()));
    client_mutex_.reset(CreateMutexA(shared, FALSE, (base + "RC").c_str()));
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!request_ || !reply_ || !manager_mutex_ || !client_mutex_ || !stop_) return false;
    // The manager takes the client's end as the client mutex coming free, so it is held by a
    // thread that lives exactly as long as the connection, whichever thread uses it. The
    // thread owns what it signals its start with: this call may return before the signal
    // has finished.
    HANDLE client_mutex = client_mutex_.get(), stop = stop_.get();
    std::promise<void> up;
    std::future<void> started = up.get_future();
    watcher_ = std::thread([client_mutex, stop, up = std::move(up)]() mutable {
        WaitForSingleObject(client_mutex, INFINITE);
        up.set_value();
        WaitForSingleObject(stop, INFINITE);
        ReleaseMutex(client_mutex);
    });
    started.wait();
    return true;
}

uint16_t TXI_CONN_SHARED::announce(uint16_t manager, const std::string &home, const uint8_t *packet,
                                   uint16_t length, uint16_t *confirmed) {
    // A manager offers the transport machine-wide, or in its own session when it may not.
    std::string base;
    TXI_CONN_HANDLE mapping;
    for (TXI_SHM_NAMESPACE space : {TXI_SHM_NAMESPACE::global, TXI_SHM_NAMESPACE::local}) {
        base = fxi_conn_shm_announce_base(manager, home, space);
        mapping.reset(OpenFileMappingA(DXI_SHM_MAP_ACCESS, FALSE, base.c_str()));
        if (mapping) break;
    }
    TXI_CONN_HANDLE asked(OpenEventA(DXI_SHM_EVENT_ACCESS, FALSE, (base + "Q").c_str()));
    TXI_CONN_HANDLE answered(OpenEventA(DXI_SHM_EVENT_ACCESS, FALSE, (base + "A").c_str()));
    TXI_CONN_HANDLE turn(OpenMutexA(DXI_SHM_MUTEX_ACCESS, FALSE, (base + "C").c_str()));
    TXI_CONN_HANDLE alive(OpenMutexA(DXI_SHM_MUTEX_ACCESS, FALSE, (base + "M").c_str()));
    // No manager offers the transport here: the window or the socket is the way.
    if (!mapping || !asked || !answered || !turn || !alive) return 0;
    // Objects that outlived their manager (still held by some other process) are no offer.
    if (fxi_conn_shm_owner_gone(alive.get())) return 0;
    TXI_CONN_VIEW view;
    view.reset(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0));
    if (!view.get()) return 0;

    DWORD took = WaitForSingleObject(turn.get(), DXI_SHM_ANNOUNCE_WAIT);
    if (took != WAIT_OBJECT_0 && took != WAIT_ABANDONED) {
        fxk_debug_trace("Failed to wait for the announcement turn");
        return 0;
    }
    // An answer left for a client that ended before it took it is not this one's.
    ResetEvent(answered.get());
    uint8_t *at = view.get();
    fxi_conn_put16(at + DXI_SHM_ANNOUNCE_LENGTH, length);
    std::memcpy(at + DXI_SHM_ANNOUNCE_PACKET, packet, length);
    fxi_conn_put32(at + DXI_SHM_ANNOUNCE_FOR, 0);
    uint16_t answer = 0;
    bool heard = false;
    if (SetEvent(asked.get())) {
        for (DWORD waited = 0; waited < DXI_SHM_ANNOUNCE_WAIT; waited += DXI_SHM_LIVENESS_SLICE) {
            DWORD r = WaitForSingleObject(answered.get(), DXI_SHM_LIVENESS_SLICE);
            if (r == WAIT_OBJECT_0) {
                heard = fxi_conn_get32(at + DXI_SHM_ANNOUNCE_FOR) == GetCurrentProcessId();
                answer = fxi_conn_get16(at + DXI_SHM_ANNOUNCE_ANSWER);
                break;
            }
            if (r != WAIT_TIMEOUT || fxi_conn_shm_owner_gone(alive.get())) break;
        }
    }
    ReleaseMutex(turn.get());
    if (!heard) return 0;
    *confirmed = 1;
    if (answer == 0) return 0;
    // The manager holds the connection's manager mutex while it serves it; one that does not
    // leaves only the time limit to notice its end.
    if (WaitForSingleObject(manager_mutex_.get(), 0) != WAIT_TIMEOUT) {
        ReleaseMutex(manager_mutex_.get());
        manager_mutex_.reset();
    }
    return answer;
}

bool TXI_CONN_SHARED::manager_gone() const {
    return manager_mutex_ && fxi_conn_shm_owner_gone(manager_mutex_.get());
}

uint16_t TXI_CONN_SHARED::send(const void *message, bool reply_wanted) {
    if (!open()) return DXI_CONN_SEND_FAILED;
    uint8_t *block = view_.get();
    if (!reply_wanted) fxi_conn_shm_store_flag(block, DXI_SHM_NO_REPLY);
    if (message != block + 1) std::memmove(block + 1, message, size_);
    if (!SetEvent(request_.get())) return DXI_CONN_SEND_FAILED;
    if (reply_wanted) return 0;
    return fxi_conn_shm_await_taken(block, [this] { return manager_gone(); })
               ? 0
               : DXI_CONN_SEND_FAILED;
}

uint16_t TXI_CONN_SHARED::receive(void *buffer) {
    if (!open()) return DXI_CONN_RECEIVE_FAILED;
    DWORD waited = 0;
    for (;;) {
        DWORD r = WaitForSingleObject(reply_.get(), DXI_SHM_LIVENESS_SLICE);
        if (r == WAIT_OBJECT_0) break;
        if (r != WAIT_TIMEOUT) return DXI_CONN_RECEIVE_FAILED;
        if (manager_mutex_) {
            // A reply set just before the manager let go still counts.
            if (manager_gone() && WaitForSingleObject(reply_.get(), 0) != WAIT_OBJECT_0)
                return DXI_CONN_RECEIVE_FAILED;
            if (WaitForSingleObject(reply_.get(), 0) == WAIT_OBJECT_0) break;
        } else if ((waited += DXI_SHM_LIVENESS_SLICE) >= DXI_SHM_RECEIVE_LIMIT) {
            return DXI_CONN_RECEIVE_FAILED;
        }
    }
    uint8_t *block = view_.get();
    fxi_conn_shm_load_flag(block);
    std::memmove(buffer, block + 1, size_);
    fxi_conn_shm_store_flag(block, 0);
    return 0;
}

bool TXI_CONN_STATE::shared_open() const {
    return shared && shared->open();
}

// ---- Connect ----

uint16_t fxi_conn_connect_shared(uint16_t manager, uint16_t flags, uint16_t size,
                                 uint64_t qualifier, uint16_t *confirmed,
                                 std::shared_ptr<TXI_CONN_SHARED> *out) {
    std::string home = fxi_conn_shm_home(fxi_conn_data_home());
    auto shared = std::make_shared<TXI_CONN_SHARED>();
    // The names follow the process: a further connection of the process to the same manager
    // without a qualifier of its own is given one, which the packet carries to the manager.
    static std::atomic<uint32_t> further{0};
    for (int tries = 0;; ++tries) {
        if (shared->create(manager, size, qualifier, home)) break;
        if (GetLastError() != ERROR_ALREADY_EXISTS || tries == 1000) return DXI_CONN_NO_TRANSPORT;
        shared = std::make_shared<TXI_CONN_SHARED>();
        qualifier = uint64_t(1) << 63 | (static_cast<uint64_t>(GetTickCount()) << 20) | ++further;
    }

    // The connection packet: the process id, then the session number when asked for, then
    // the qualifier when there is one.
    uint8_t packet[DXI_SHM_PACKET_MAX] = {};
    uint32_t process = GetCurrentProcessId();
    fxi_conn_put32(packet, process);
    uint32_t session = 0xFFFFFFFFu;
    if (flags & DXI_CONN_SESSION) {
        DWORD id = 0;
        if (ProcessIdToSessionId(process, &id)) session = id;
    }
    fxi_conn_put32(packet + 4, session);
    fxi_conn_put32(packet + 8, static_cast<uint32_t>(qualifier));
    fxi_conn_put32(packet + 12, static_cast<uint32_t>(qualifier >> 32));
    uint16_t length = qualifier ? 16 : (flags & DXI_CONN_SESSION) ? 8 : 4;
    if (shared->announce(manager, home, packet, length, confirmed) == 0)
        return DXI_CONN_NO_TRANSPORT;
    *out = std::move(shared);
    return 0;
}
