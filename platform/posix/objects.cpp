// Events, mutexes, file mappings and waits of the POSIX platform. A named object is a file in the
// prefix's objects/ folder: every handle keeps it open with a shared flock, so the object exists
// exactly while some process holds a handle (a stale file without holders counts as absent),
// and its state is changed under an open-file-description lock on the same file. Creating,
// opening and the last close are serialised by a lock on the folder.
#include "platform/host.h"
#include "system_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/futex.h>
#include <map>
#include <mutex>
#include <optional>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// ---- State ----

struct State {
    char kind = 0; // 'E' event, 'M' mutex
    uint8_t manual = 0;
    uint8_t signaled = 0;
    int32_t owner_pid = 0; // a mutex's owner: process, thread and the process's start time
    int32_t owner_tid = 0;
    uint64_t owner_start = 0;
    uint32_t count = 0; // how often the owner holds the mutex
};
constexpr size_t state_size = 24;
// After the state, a word that every change of a named object advances: waiters in any
// process sleep on it as a futex and are woken by the change.
constexpr size_t sequence_offset = 24;
constexpr size_t file_size = 32;

void encode(const State &s, unsigned char *out) {
    memset(out, 0, state_size);
    out[0] = static_cast<unsigned char>(s.kind);
    out[1] = s.manual;
    out[2] = s.signaled;
    memcpy(out + 4, &s.owner_pid, 4);
    memcpy(out + 8, &s.owner_tid, 4);
    memcpy(out + 12, &s.owner_start, 8);
    memcpy(out + 20, &s.count, 4);
}

State decode(const unsigned char *in) {
    State s;
    s.kind = static_cast<char>(in[0]);
    s.manual = in[1];
    s.signaled = in[2];
    memcpy(&s.owner_pid, in + 4, 4);
    memcpy(&s.owner_tid, in + 8, 4);
    memcpy(&s.owner_start, in + 12, 8);
    memcpy(&s.count, in + 20, 4);
    return s;
}

// A process's start time (clock ticks after boot): with the pid it names a process for good.
// A process that has ended but is not yet reaped by its parent (a zombie) answers 0: it holds
// nothing any more, and a mutex it owned is abandoned as soon as it ends.
uint64_t start_time(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size()) return 0;
    char state = stat[paren + 2];
    if (state == 'Z' || state == 'X') return 0;
    // Fields after the command: state is field 3, the start time field 22.
    size_t pos = paren + 2;
    for (int field = 3; field < 22 && pos != std::string::npos; ++field) {
        pos = stat.find(' ', pos);
        if (pos != std::string::npos) ++pos;
    }
    return pos == std::string::npos ? 0 : std::strtoull(stat.c_str() + pos, nullptr, 10);
}

uint64_t own_start() {
    // Kept per process id: a forked child is another process.
    static std::atomic<uint64_t> cached{0};
    static std::atomic<pid_t> cached_pid{0};
    pid_t pid = getpid();
    if (cached_pid.load() != pid) {
        cached.store(start_time(pid));
        cached_pid.store(pid);
    }
    return cached.load();
}

bool owner_alive(const State &s) {
    if (s.owner_pid <= 0) return false;
    if (s.owner_pid == getpid()) return true;
    if (kill(s.owner_pid, 0) != 0 && errno == ESRCH) return false;
    return start_time(s.owner_pid) == s.owner_start;
}

// Every change of a state in this process wakes this process's waiters at once; changes in
// other processes are seen when a waiter looks again.
std::mutex changed_mutex;
std::condition_variable changed;
uint64_t generation = 0;

void announce() {
    {
        std::lock_guard lock(changed_mutex);
        ++generation;
    }
    changed.notify_all();
}

uint64_t current_generation() {
    std::lock_guard lock(changed_mutex);
    return generation;
}

void await_change(uint64_t seen, std::chrono::milliseconds limit) {
    std::unique_lock lock(changed_mutex);
    auto moved_on = [&] { return generation != seen; };
    // wait_for counts in the clock's nanoseconds, which an unbounded limit overflows.
    if (limit == std::chrono::milliseconds::max())
        changed.wait(lock, moved_on);
    else
        changed.wait_for(lock, limit, moved_on);
}

// ---- Names ----

// The object's file for a name ("Global\x", "Local\x" or "x"); empty with the error set for
// a name Windows refuses.
std::string object_file(LPCSTR name, DWORD &error) {
    std::string_view n(name);
    std::string space = "Local";
    if (n.substr(0, 7) == "Global\\")
        space = "Global", n.remove_prefix(7);
    else if (n.substr(0, 6) == "Local\\")
        n.remove_prefix(6);
    if (n.find('\\') != std::string_view::npos) {
        error = ERROR_PATH_NOT_FOUND;
        return {};
    }
    if (n.size() > MAX_PATH) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return {};
    }
    std::string folder = kova_sys::prefix_folder("objects");
    if (folder.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return {};
    }
    folder += "/" + space;
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        error = kova_error_from_errno(errno);
        return {};
    }
    // Names keep their case; bytes a host file name cannot carry plainly are escaped.
    std::string file;
    for (unsigned char c : n) {
        if (c < 0x20 || c >= 0x7F || c == '/' || c == '%' || (file.empty() && c == '.')) {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", c);
            file += escaped;
        } else {
            file.push_back(static_cast<char>(c));
        }
    }
    return folder + "/" + (file.empty() ? "%" : file);
}

std::string folder_lock_path() {
    return kova_sys::prefix_folder("objects") + "/.lock";
}

// Whether nobody holds the file (a stale object of ended processes).
bool unheld(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        return true;
    }
    return false;
}

// A named object's file, opened under the folder lock, which it keeps until it goes: the
// caller reads or sets up the object before another process can see it half made.
struct ObjectFile {
    std::string path;
    std::optional<kova_sys::FileLock> lock;
    int fd = -1;
    bool exists = false; // a live process holds it
};

// Opens (with `create` makes) the file of the object `name`; false with the error set. A file
// nobody holds is left from ended processes: without `create` it is taken away and the answer
// is ERROR_FILE_NOT_FOUND, as for no file at all.
bool open_object_file(LPCSTR name, bool create, ObjectFile &file) {
    DWORD error = ERROR_SUCCESS;
    file.path = object_file(name, error);
    if (file.path.empty()) {
        SetLastError(error);
        return false;
    }
    file.lock.emplace(folder_lock_path());
    file.fd = open(file.path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (file.fd < 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : kova_error_from_errno(errno));
        return false;
    }
    file.exists = !unheld(file.fd);
    if (!file.exists && !create) {
        close(file.fd);
        unlink(file.path.c_str());
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    return true;
}

// ---- Objects ----

class SyncObject : public kova_waitable {
public:
    SyncObject(int fd, std::string path, DWORD access)
        : fd_(fd), path_(std::move(path)), access_(access) {
        void *map = mmap(nullptr, file_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        if (map != MAP_FAILED) map_ = static_cast<char *>(map);
    }
    explicit SyncObject(State initial)
        : local_(initial), access_(EVENT_ALL_ACCESS | MUTEX_ALL_ACCESS) {}
    ~SyncObject() override;

    DWORD access() const { return access_; }

    // Runs `f` on the state under the state lock and writes the state back.
    template <class F> auto with_state(F f) {
        if (fd_ < 0) {
            std::lock_guard lock(local_mutex_);
            return f(local_);
        }
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        range.l_len = static_cast<off_t>(state_size);
        while (fcntl(fd_, F_OFD_SETLKW, &range) != 0 && errno == EINTR) {
        }
        unsigned char bytes[state_size] = {};
        if (pread(fd_, bytes, state_size, 0) != static_cast<ssize_t>(state_size))
            memset(bytes, 0, state_size);
        State s = decode(bytes);
        State before = s;
        auto result = f(s);
        if (memcmp(&before, &s, sizeof s) != 0) {
            encode(s, bytes);
            if (pwrite(fd_, bytes, state_size, 0) != static_cast<ssize_t>(state_size)) {
                // The file is local and already sized; a failed write leaves the old state.
            }
        }
        range.l_type = F_UNLCK;
        fcntl(fd_, F_OFD_SETLK, &range);
        return result;
    }

    char kind() {
        return with_state([](State &s) { return s.kind; });
    }

    // Wakes every waiter. Those of a named object, in this process or another, sleep on its
    // futex; only the waiters of unnamed objects sleep on this process's change, which would
    // otherwise wake them all (a watcher thread per connection, say) on every named event.
    void wake() {
        if (uint32_t *word = sequence()) {
            std::atomic_ref<uint32_t>(*word).fetch_add(1);
            syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
        } else {
            announce();
        }
    }

    DWORD wait_for(DWORD timeout) override {
        if ((access_ & SYNCHRONIZE) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        auto poll = std::chrono::milliseconds(1);
        for (;;) {
            uint64_t seen = current_generation();
            uint32_t *word = sequence();
            uint32_t seen_word = word ? std::atomic_ref<uint32_t>(*word).load() : 0;
            DWORD result = try_take();
            if (result != WAIT_TIMEOUT) return result;
            auto limit = std::chrono::milliseconds::max();
            if (timeout != INFINITE) {
                auto now = std::chrono::steady_clock::now();
                if (now >= deadline) return WAIT_TIMEOUT;
                limit = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                        std::chrono::milliseconds(1);
            }
            if (word) {
                // A change wakes the futex; an owner that ends without releasing a mutex
                // cannot, so look again now and then.
                auto slice = std::min(limit, std::chrono::milliseconds(100));
                timespec ts{static_cast<time_t>(slice.count() / 1000),
                            static_cast<long>(slice.count() % 1000) * 1000000L};
                syscall(SYS_futex, word, FUTEX_WAIT, seen_word, &ts, nullptr, 0);
                continue;
            }
            // Without the shared word another process's change is noticed within the poll.
            if (fd_ >= 0) {
                limit = std::min(limit, poll);
                poll = std::min(poll * 2, std::chrono::milliseconds(10));
            }
            await_change(seen, limit);
        }
    }

private:
    DWORD try_take() {
        const int32_t pid = getpid(), tid = static_cast<int32_t>(gettid());
        return with_state([&](State &s) -> DWORD {
            if (s.kind == 'E') {
                if (!s.signaled) return WAIT_TIMEOUT;
                if (!s.manual) s.signaled = 0;
                return WAIT_OBJECT_0;
            }
            if (s.count && s.owner_pid == pid && s.owner_tid == tid) {
                ++s.count;
                return WAIT_OBJECT_0;
            }
            bool abandoned = s.count && !owner_alive(s);
            if (s.count && !abandoned) return WAIT_TIMEOUT;
            s.owner_pid = pid;
            s.owner_tid = tid;
            s.owner_start = own_start();
            s.count = 1;
            return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
        });
    }

    uint32_t *sequence() {
        return map_ ? reinterpret_cast<uint32_t *>(map_ + sequence_offset) : nullptr;
    }

    int fd_ = -1;
    char *map_ = nullptr;
    std::string path_;
    std::mutex local_mutex_;
    State local_;
    DWORD access_;
};

// Gives up one hold on a named object's file; the last holder takes the file away (a later
// create starts afresh either way).
void release_hold(int fd, const std::string &path) {
    close(fd);
    if (path.empty()) return;
    kova_sys::FileLock lock(folder_lock_path());
    int probe = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (probe >= 0) {
        if (unheld(probe)) unlink(path.c_str());
        close(probe);
    }
}

SyncObject::~SyncObject() {
    if (fd_ < 0) return;
    if (map_) munmap(map_, file_size);
    release_hold(fd_, path_);
}

SyncObject *as_object(HANDLE handle, char kind, DWORD right) {
    auto *object =
        handle && handle != INVALID_HANDLE_VALUE ? dynamic_cast<SyncObject *>(handle) : nullptr;
    if (!object || object->kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((object->access() & right) != right) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return object;
}

// Opens (and with `create` makes) a named object under the folder lock.
HANDLE open_named(LPCSTR name, State initial, bool create, DWORD access) {
    ObjectFile file;
    if (!open_object_file(name, create, file)) return nullptr;
    const int fd = file.fd;
    const std::string &path = file.path;
    const bool exists = file.exists;
    if (exists) {
        unsigned char bytes[state_size] = {};
        ssize_t n = pread(fd, bytes, state_size, 0);
        if (n != static_cast<ssize_t>(state_size) ||
            bytes[0] != static_cast<unsigned char>(initial.kind)) {
            close(fd);
            SetLastError(ERROR_INVALID_HANDLE); // the name belongs to the other kind of object
            return nullptr;
        }
    } else {
        unsigned char bytes[file_size] = {};
        encode(initial, bytes);
        if (ftruncate(fd, 0) != 0 ||
            pwrite(fd, bytes, file_size, 0) != static_cast<ssize_t>(file_size)) {
            DWORD err = kova_error_from_errno(errno);
            close(fd);
            unlink(path.c_str());
            SetLastError(err);
            return nullptr;
        }
    }
    flock(fd, LOCK_SH);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return new SyncObject(fd, path, access);
}

HANDLE create_object(LPCSTR name, State initial) {
    if (!name || !*name) {
        SetLastError(ERROR_SUCCESS);
        return new SyncObject(initial);
    }
    return open_named(name, initial, true, EVENT_ALL_ACCESS | MUTEX_ALL_ACCESS);
}

HANDLE open_object(LPCSTR name, char kind, DWORD access) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    State probe;
    probe.kind = kind;
    HANDLE h = open_named(name, probe, false, access);
    if (h) SetLastError(ERROR_SUCCESS);
    return h;
}

// ---- File mappings ----

// A mapping's file: a header page (the kind 'F' at byte 0 where events and mutexes keep
// theirs, the size at byte 8), then the content, page-aligned so that views map it directly.
constexpr off_t mapping_header = 4096;

class MappingObject : public kova_object {
public:
    MappingObject(int fd, std::string path, uint64_t size, DWORD access)
        : fd_(fd), path_(std::move(path)), size_(size), access_(access) {}
    ~MappingObject() override { release_hold(fd_, path_); }
    MappingObject(const MappingObject &) = delete;
    MappingObject &operator=(const MappingObject &) = delete;

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    uint64_t size() const { return size_; }
    DWORD access() const { return access_; }

private:
    int fd_;
    std::string path_; // empty for an unnamed mapping
    uint64_t size_;
    DWORD access_;
};

// Each view holds its own descriptor of the mapping's file, sharing the handle's open file
// description and so its hold: the mapping lives on while a view does.
struct View {
    int fd;
    std::string path;
    size_t length;
};
std::mutex views_mutex;
std::map<const void *, View> &views() {
    static auto *all = new std::map<const void *, View>;
    return *all;
}

HANDLE open_mapping(LPCSTR name, bool create, uint64_t size, DWORD access) {
    if (!name || !*name) {
        int fd = memfd_create("kova-mapping", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, mapping_header + static_cast<off_t>(size)) != 0) {
            SetLastError(kova_error_from_errno(errno));
            if (fd >= 0) close(fd);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return new MappingObject(fd, {}, size, access);
    }
    ObjectFile file;
    if (!open_object_file(name, create, file)) return nullptr;
    const int fd = file.fd;
    const std::string &path = file.path;
    const bool exists = file.exists;
    unsigned char header[16] = {};
    if (exists) {
        if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
            header[0] != 'F') {
            close(fd);
            SetLastError(ERROR_INVALID_HANDLE); // the name belongs to another kind of object
            return nullptr;
        }
        memcpy(&size, header + 8, 8);
    } else {
        // A stale file of ended processes is emptied first: the content starts zeroed.
        header[0] = 'F';
        memcpy(header + 8, &size, 8);
        if (ftruncate(fd, 0) != 0 ||
            ftruncate(fd, mapping_header + static_cast<off_t>(size)) != 0 ||
            pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
            DWORD err = kova_error_from_errno(errno);
            close(fd);
            unlink(path.c_str());
            SetLastError(err);
            return nullptr;
        }
    }
    flock(fd, LOCK_SH);
    SetLastError(exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return new MappingObject(fd, path, size, access);
}

} // namespace

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD size_high,
                          DWORD size_low, LPCSTR name) {
    if (file != INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    uint64_t size = static_cast<uint64_t>(size_high) << 32 | size_low;
    if (size == 0 || (protect != PAGE_READWRITE && protect != PAGE_READONLY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD access = protect == PAGE_READWRITE ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ;
    return open_mapping(name, true, size, access);
}

HANDLE OpenFileMappingA(DWORD access, BOOL, LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = open_mapping(name, false, 0, access);
    if (h) SetLastError(ERROR_SUCCESS);
    return h;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offset_high, DWORD offset_low,
                     SIZE_T bytes) {
    auto *object = mapping && mapping != INVALID_HANDLE_VALUE
                       ? dynamic_cast<MappingObject *>(mapping)
                       : nullptr;
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    bool write = access & FILE_MAP_WRITE;
    DWORD needed = write ? FILE_MAP_WRITE : FILE_MAP_READ;
    if ((object->access() & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    uint64_t offset = static_cast<uint64_t>(offset_high) << 32 | offset_low;
    long page = sysconf(_SC_PAGESIZE);
    if (offset % static_cast<uint64_t>(page) != 0 || offset > object->size() ||
        bytes > object->size() - offset) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t length = bytes ? bytes : static_cast<size_t>(object->size() - offset);
    if (length == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int fd = dup(object->fd());
    if (fd < 0) {
        SetLastError(kova_error_from_errno(errno));
        return nullptr;
    }
    void *view = mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd,
                      mapping_header + static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        SetLastError(kova_error_from_errno(errno));
        close(fd);
        return nullptr;
    }
    std::lock_guard lock(views_mutex);
    views()[view] = View{fd, object->path(), length};
    return view;
}

BOOL UnmapViewOfFile(LPCVOID address) {
    View view;
    {
        std::lock_guard lock(views_mutex);
        auto it = views().find(address);
        if (it == views().end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        view = it->second;
        views().erase(it);
    }
    munmap(const_cast<void *>(address), view.length);
    release_hold(view.fd, view.path);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeout) {
    auto *waitable =
        handle && handle != INVALID_HANDLE_VALUE ? dynamic_cast<kova_waitable *>(handle) : nullptr;
    if (!waitable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return waitable->wait_for(timeout);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR name) {
    State s;
    s.kind = 'E';
    s.manual = manual_reset ? 1 : 0;
    s.signaled = initial_state ? 1 : 0;
    return create_object(name, s);
}

HANDLE OpenEventA(DWORD access, BOOL, LPCSTR name) {
    return open_object(name, 'E', access);
}

BOOL SetEvent(HANDLE event) {
    SyncObject *object = as_object(event, 'E', EVENT_MODIFY_STATE);
    if (!object) return FALSE;
    object->with_state([](State &s) { return s.signaled = 1; });
    object->wake();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    SyncObject *object = as_object(event, 'E', EVENT_MODIFY_STATE);
    if (!object) return FALSE;
    object->with_state([](State &s) { return s.signaled = 0; });
    return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    State s;
    s.kind = 'M';
    if (initial_owner) {
        s.owner_pid = getpid();
        s.owner_tid = static_cast<int32_t>(gettid());
        s.owner_start = own_start();
        s.count = 1;
    }
    return create_object(name, s);
}

HANDLE OpenMutexA(DWORD access, BOOL, LPCSTR name) {
    return open_object(name, 'M', access);
}

BOOL ReleaseMutex(HANDLE mutex) {
    SyncObject *object = as_object(mutex, 'M', 0);
    if (!object) return FALSE;
    const int32_t pid = getpid(), tid = static_cast<int32_t>(gettid());
    bool owned = object->with_state([&](State &s) {
        if (!s.count || s.owner_pid != pid || s.owner_tid != tid) return false;
        if (--s.count == 0) s.owner_pid = s.owner_tid = 0, s.owner_start = 0;
        return true;
    });
    if (!owned) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    object->wake();
    return TRUE;
}

DWORD kova_wait_until_unheld(LPCSTR name, DWORD timeout) {
    DWORD error = ERROR_SUCCESS;
    std::string path = name ? object_file(name, error) : std::string();
    if (path.empty()) {
        SetLastError(name ? error : ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    DWORD started = GetTickCount();
    for (;;) {
        {
            kova_sys::FileLock lock(folder_lock_path());
            int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) return WAIT_OBJECT_0;
            bool gone = unheld(fd);
            if (gone) unlink(path.c_str());
            close(fd);
            if (gone) return WAIT_OBJECT_0;
        }
        if (timeout != INFINITE && GetTickCount() - started >= timeout) return WAIT_TIMEOUT;
        Sleep(10);
    }
}

bool kova_named_objects_native() {
    return false;
}

LPSECURITY_ATTRIBUTES kova_shared_object_security() {
    // The objects are files of the prefix: whoever may use the prefix may use them.
    return nullptr;
}

std::string kova_object_name_of_process(std::string_view local_name, DWORD) {
    return std::string(local_name);
}
