// The user layer: the user table kept in the queue KOVAuser, the system semaphore MXKOVA that
// guards the users file, their recursive locks and order check, and the attachment of a
// process that has no user of its own.
#include "kernel/coord/queue.h"

#include "kernel/coord/conn_local.h"
#include "kernel/coord/user_local.h"
#include "kernel/files/file.h"

#include <cstring>
#include <new>

namespace {

// ---- Process-wide state of the user layer ----

struct UserLayer {
    std::vector<uint8_t> table; // the user table buffer
    uint16_t slots = 0;         // N
    TXI_QUEUE user_queue;       // KOVAuser
    TXI_OWNED_LOCK queue_lock;
    TXI_OWNED_LOCK sem_lock;
    TXI_QUEUE semaphore; // MXKOVA
    bool sem_open = false;
    TXI_FILE users_file;
    bool users_open = false;
    uint8_t record[DXK_USER_RECORD_SIZE] = {};
    int close_guard = 0; // 1 semaphore, 2 queue
    TXI_OWNED_LOCK attach_lock;
    bool attached = false;
    std::string directory; // current directory at the attachment
};

UserLayer &layer() {
    static UserLayer state;
    return state;
}

constexpr int guard_semaphore = 1, guard_queue = 2;

// The terminal has no close command to grey; the record of which lock would have greyed it is
// kept, so that only the same lock gives it back.
void grey_close(int lock) {
    if (layer().close_guard == 0) layer().close_guard = lock;
}

void release_close(int lock) {
    if (layer().close_guard == lock) layer().close_guard = 0;
}

void init_table() {
    std::vector<uint8_t> &table = layer().table;
    std::fill(table.begin(), table.end(), 0);
    std::memcpy(table.data(), "KOVA", 4);
    table[4] = 0x07;
    table[5] = 0x40;
    std::fill(table.begin() + DXK_USER_TABLE_HEADER, table.end(), 0xFF);
}

// Opens the users file, creating it when the installation has none yet, and grows it to a
// record for every slot.
bool open_users_file() {
    UserLayer &l = layer();
    std::string path = fxi_conn_data_home() + "kovausrs";
    if (l.users_file.open(path.c_str(), 3 | 4) != 0) {
        if (l.users_file.create(path.c_str()) != 0) return false;
        (void)l.users_file.close(); // empty; the open that follows says whether it is usable
        if (l.users_file.open(path.c_str(), 3 | 4) != 0) return false;
    }
    uint64_t length = 0;
    if (l.users_file.length(&length) != 0) {
        (void)l.users_file.close(); // nothing was written to it
        return false;
    }
    uint64_t records = length / DXK_USER_RECORD_SIZE;
    if (records < l.slots) {
        const uint8_t empty[DXK_USER_RECORD_SIZE] = {};
        for (uint64_t r = records; r < l.slots; ++r) {
            if (l.users_file.seek_to(r * DXK_USER_RECORD_SIZE) != 0 ||
                l.users_file.write(empty, sizeof empty) != 0)
                break;
        }
    }
    l.users_open = true;
    return true;
}

} // namespace

// ---- The user table ----

uint16_t fxk_user_readqmsg() {
    UserLayer &l = layer();
    if (!fxi_queue_system().present()) return DXK_USER_NO_SYSTEM;
    l.queue_lock.enter();
    if (l.queue_lock.depth() > 1) return 0;
    if (l.sem_open && l.sem_lock.held()) {
        // The table must always be taken before the semaphore; the reverse order deadlocks
        // against every other process of the system.
        l.queue_lock.leave();
        fxi_conn_unexpected("KOVA QUEUE READ SEQUENCE ERROR");
    }
    std::fill(l.table.begin() + DXK_USER_TABLE_HEADER, l.table.end(), 0xFF);
    grey_close(guard_queue);
    fxk_user_log("Reading KOVAuser queue");
    uint16_t status = fxi_queue_read(&l.user_queue, l.table.data(), 0);
    if (status) {
        release_close(guard_queue);
        fxk_user_log("Failed to read KOVAuser queue - error %word%,5", status);
        l.queue_lock.leave();
        return status;
    }
    fxk_user_log("KOVAuser queue read successfully");
    return 0;
}

uint16_t fxk_user_writeqmsg() {
    UserLayer &l = layer();
    if (!fxi_queue_system().present()) return DXK_USER_NO_SYSTEM;
    if (!l.queue_lock.owned_by_caller()) {
        fxk_user_log("Not writing KOVAuser queue because not read");
        return 0;
    }
    if (l.queue_lock.depth() == 1) {
        fxk_user_log("Writing KOVAuser queue");
        uint16_t status = fxi_queue_write(&l.user_queue, l.table.data(), 0);
        if (status) {
            // The table stays held by this thread: it did not reach the queue.
            fxk_user_log("Failed to write KOVAuser queue - error %word%,5", status);
            return status;
        }
        fxk_user_log("KOVAuser queue written successfully");
        release_close(guard_queue);
    }
    l.queue_lock.leave();
    return 0;
}

uint16_t fxk_user_init(uint16_t no_queue, uint16_t chained) {
    // Only the attachment's form (both flags 0) exists here; the sign-on machinery that would
    // pass others is not part of this kernel.
    (void)no_queue;
    (void)chained;
    UserLayer &l = layer();
    l.slots = fxi_conn_user_slots();
    size_t size = DXK_USER_TABLE_HEADER + DXK_USER_SLOT_SIZE * static_cast<size_t>(l.slots);
    if (l.table.empty()) {
        try {
            l.table.assign(size, 0);
        } catch (const std::bad_alloc &) {
            return DXK_USER_NO_MEMORY;
        }
        fxk_debug_trace("queue message memory allocated ok");
    }
    for (;;) {
        fxk_debug_trace("attempting to make KOVAuser queue");
        uint16_t status = fxi_queue_make("KOVAuser", static_cast<uint16_t>(size), 1, &l.user_queue);
        if (status == 0) {
            grey_close(guard_queue);
            fxk_debug_trace("queue created ok");
            l.queue_lock.enter();
            if (l.table.size() < size) l.table.resize(size);
            init_table();
            return 0;
        }
        if (status != DXI_QUEUE_EXISTS) return status;
        fxk_debug_trace("queue not created");
        status = fxi_queue_open("KOVAuser", static_cast<uint16_t>(size), &l.user_queue);
        if (status == DXI_QUEUE_NOT_FOUND) continue; // it went away meanwhile: make it again
        if (status) return status;
        fxk_debug_trace("queue opened ok");
        uint16_t real = l.user_queue.size;
        if (real > l.table.size()) l.table.resize(real, 0xFF);
        l.slots = real < DXK_USER_TABLE_HEADER
                      ? 0
                      : static_cast<uint16_t>((real - DXK_USER_TABLE_HEADER) / DXK_USER_SLOT_SIZE);
        if ((status = fxk_user_readqmsg()) != 0) return status;
        fxk_debug_trace("queue read ok");
        return 0;
    }
}

// ---- The system semaphore and the users file ----

int fxk_user_openfile() {
    UserLayer &l = layer();
    l.sem_lock.enter();
    if (l.sem_lock.depth() == 1) {
        if (!l.sem_open) {
            uint16_t status = fxi_sem_make("MXKOVA", &l.semaphore);
            if (status == 0) {
                l.sem_open = true;
            } else if (status == DXI_SEM_EXISTS) {
                if (fxi_sem_open("MXKOVA", &l.semaphore) != 0) {
                    l.sem_lock.leave();
                    return 0;
                }
                l.sem_open = true;
            } else if (status != DXI_SEM_NO_SYSTEM) {
                l.sem_lock.leave();
                return 0;
            }
        }
        if (l.sem_open) {
            grey_close(guard_semaphore);
            fxk_user_log("Reading MXKOVA semaphore");
            if (fxi_sem_read(&l.semaphore, 0) != 0) {
                fxk_user_log("Failed to reading MXKOVA semaphore");
                release_close(guard_semaphore);
                l.sem_open = false;
                l.sem_lock.leave();
                return 0;
            }
            fxk_user_log("MXKOVA semaphore read ok");
        }
    }
    // A failure here keeps the lock and the semaphore: the caller's fxk_user_closfile gives
    // them back.
    if (!l.users_open && !open_users_file()) return 0;
    return 1;
}

void fxk_user_closfile(uint16_t close_flag) {
    UserLayer &l = layer();
    if (!l.sem_lock.owned_by_caller()) return;
    if (l.sem_lock.depth() == 1) {
        if (l.users_open) {
            (void)l.users_file.close(); // its only writes were checked as they were made
            l.users_open = false;
        }
        if (l.sem_open) {
            if (close_flag == 1) {
                fxi_sem_close(&l.semaphore);
                l.sem_open = false;
            } else {
                fxk_user_log("Writing MXKOVA semaphore");
                fxi_sem_write(&l.semaphore, 0);
                fxk_user_log("MXKOVA semaphore written");
            }
        }
        release_close(guard_semaphore);
    }
    l.sem_lock.leave();
}

void fxk_user_readrec(uint16_t slot, uint8_t *record) {
    UserLayer &l = layer();
    fxk_user_openfile();
    uint8_t *into = record ? record : l.record;
    uint64_t length = 0;
    if (l.users_open && l.users_file.length(&length) == 0 &&
        static_cast<uint64_t>(slot) < length / DXK_USER_RECORD_SIZE &&
        l.users_file.seek_to(static_cast<uint64_t>(slot) * DXK_USER_RECORD_SIZE) == 0 &&
        l.users_file.read(into, DXK_USER_RECORD_SIZE) != 0)
        // A part read would pass another slot's bytes off as this user's record.
        std::memset(into, 0, DXK_USER_RECORD_SIZE);
    fxk_user_closfile(0);
}

// ---- The attachment without a user ----

bool fxk_user_attach() {
    UserLayer &l = layer();
    l.attach_lock.enter();
    if (l.attach_lock.depth() > 1) return true;
    char directory[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    l.directory = directory;
    l.attached = true;
    // The installation's own queue manager is found through its address file, wherever the
    // current directory's drive lives; the patch tool has no user slot of its own.
    CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
    queues.connect(nullptr, DXI_CONN_EVENTS, nullptr);
    if (!queues.present()) {
        l.attached = false;
        l.attach_lock.leave();
        return false;
    }
    uint16_t flags =
        (fxi_conn_release_level() > 16 ? 0x2 : 0) | (queues.manager_confirmed() == 0 ? 0x1 : 0);
    if (fxm_file_attach(2, flags) != 0 && fxm_file_attach(1, flags) != 0) {
        queues.disconnect();
        l.attached = false;
        l.attach_lock.leave();
        return false;
    }
    if (fxk_user_init(0, 0) != 0) {
        fxk_user_detach();
        return false;
    }
    return true;
}

void fxk_user_detach() {
    UserLayer &l = layer();
    if (!l.attach_lock.owned_by_caller()) return;
    if (l.attach_lock.depth() == 1) {
        fxm_file_detach(0);
        CXI_QUEUE_SYSTEM &queues = fxi_queue_system();
        if (queues.connection().connected()) queues.disconnect();
        queues.set_present(false);
        // The table and the semaphore go with the connection (the manager gives back what a
        // closed connection held): a hold this thread still had would keep every later
        // attachment from reading the table again, and the old handle means nothing to the
        // next connection.
        while (l.queue_lock.owned_by_caller()) l.queue_lock.leave();
        release_close(guard_queue);
        if (!l.sem_lock.held()) {
            l.sem_open = false;
            l.semaphore = TXI_QUEUE{};
        }
        l.table.clear();
        l.slots = 0;
        fxk_user_log_close();
        SetCurrentDirectoryA(l.directory.c_str());
        l.attached = false;
    }
    l.attach_lock.leave();
}

// ---- What the layer shows of itself ----

const std::vector<uint8_t> &fxk_user_table() {
    return layer().table;
}
uint16_t fxk_user_slots() {
    return layer().slots;
}

bool fxk_user_semaphore_held() {
    return layer().sem_open && layer().sem_lock.held();
}

bool fxk_user_slot_used(uint16_t slot) {
    const std::vector<uint8_t> &table = layer().table;
    size_t at = DXK_USER_TABLE_HEADER + static_cast<size_t>(slot) * DXK_USER_SLOT_SIZE;
    if (slot >= layer().slots || at + DXK_USER_SLOT_SIZE > table.size()) return false;
    for (size_t i = 0; i < DXK_USER_SLOT_SIZE; ++i)
        if (table[at + i] != 0xFF) return true;
    return false;
}

const uint8_t *fxk_user_record() {
    return layer().record;
}
bool fxk_user_attached() {
    return layer().attached;
}
int fxk_user_close_guard() {
    return layer().close_guard;
}
