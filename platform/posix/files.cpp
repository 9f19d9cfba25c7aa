// Win32 file handles on POSIX: opening with access, share mode and disposition, reading,
// writing, positions, sizes and times, attributes, deleting, moving and copying.
#include "files_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/xattr.h>
#include <unistd.h>

namespace kova_posix {

namespace {

// The share slots lie far beyond any data a file can hold, so they never meet byte-range
// locks of the data itself. A handle holds a read lock on the slot of each access it has and
// of each sharing it denies; a write-lock test on a slot finds the holders of other handles.
constexpr off_t share_base = LLONG_MAX - 64;
enum Slot { ACCESS_R = 0, ACCESS_W = 1, ACCESS_D = 2, DENY_R = 3, DENY_W = 4, DENY_D = 5 };

int ofd_lock(int fd, int cmd, short type, off_t start, off_t length, short *found = nullptr) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    int rc = fcntl(fd, cmd, &fl);
    if (found) *found = fl.l_type;
    return rc;
}

// Flushes the folder holding `host`, so that a name created or replaced in it survives a crash.
bool sync_parent(const std::string &host) {
    size_t slash = host.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : host.substr(0, slash);
    int fd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail_errno(false);
    bool synced = fsync(fd) == 0 || errno == EINVAL;
    int saved = errno;
    close(fd);
    if (!synced) errno = saved;
    return synced ? true : fail_errno(false);
}

constexpr const char *attrib_xattr = "user.kova.attrib";
constexpr DWORD kept_bits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool read_xattr(const std::string &host, DWORD &bits) {
    char buf[32];
    ssize_t n = getxattr(host.c_str(), attrib_xattr, buf, sizeof buf - 1);
    if (n <= 0) return false;
    buf[n] = 0;
    bits = static_cast<DWORD>(strtoul(buf, nullptr, 0));
    return true;
}

// False when the filesystem keeps no extended attributes (the bits are then not kept).
bool write_xattr(const std::string &host, DWORD bits) {
    char buf[32];
    int n = snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(bits));
    return setxattr(host.c_str(), attrib_xattr, buf, static_cast<size_t>(n), 0) == 0;
}

// Sets the attributes Windows keeps beside the mode: read-only in the mode for files, the
// rest (and read-only of folders) in the extended attribute, written only when it differs from
// what a file without one reports.
bool store_attributes(const std::string &host, const struct stat &st, DWORD attributes) {
    bool dir = S_ISDIR(st.st_mode);
    if (!dir) {
        mode_t mode = st.st_mode & 07777;
        mode_t wanted = attributes & FILE_ATTRIBUTE_READONLY ? mode & ~0222
                        : read_only_mode(mode)               ? mode | 0200
                                                             : mode;
        if (wanted != mode && chmod(host.c_str(), wanted) != 0) return fail_errno(false);
    }
    DWORD bits = attributes & (kept_bits | (dir ? FILE_ATTRIBUTE_READONLY : 0));
    DWORD current = 0;
    bool has = read_xattr(host, current);
    DWORD plain = dir ? 0 : FILE_ATTRIBUTE_ARCHIVE;
    if ((has && current != bits) || (!has && bits != plain)) {
        if (!write_xattr(host, bits) && errno != ENOTSUP && errno != EOPNOTSUPP)
            return fail_errno(false);
    }
    return true;
}

struct FileObject : kova_io_object {
    int fd = -1;
    unsigned access = 0; // ShareBits of the data access granted
    bool write_attributes = false;
    bool append_only = false;
    bool delete_on_close = false;
    bool archive_marked = false;
    bool name_unsynced = false; // created by this handle, its folder not yet flushed
    std::string host;
    PRIORITY_HINT hint = IoPriorityHintNormal;

    ~FileObject() override {
        if (delete_on_close) unlink(host.c_str());
        if (fd >= 0) close(fd);
    }

    BOOL read(void *buffer, DWORD count, DWORD *done) override {
        return transfer(buffer, count, done, -1);
    }
    BOOL write(const void *buffer, DWORD count, DWORD *done) override {
        return transfer(const_cast<void *>(buffer), count, done, -1, true);
    }
    BOOL flush() override {
        if (!(access & SHARE_W)) return fail(FALSE, ERROR_ACCESS_DENIED);
        if (fsync(fd) != 0 && errno != EINVAL) return fail_errno(FALSE);
        // A journalled Windows volume keeps a new file's name with its data; here the name
        // lives in the folder, which has to be flushed once as well.
        if (name_unsynced) {
            if (!sync_parent(host)) return FALSE;
            name_unsynced = false;
        }
        return TRUE;
    }

    // Reads or writes the whole count unless the end of the file (or an error) comes first;
    // at `offset` when it is not negative.
    BOOL transfer(void *buffer, DWORD count, DWORD *done, off_t offset, bool writing = false) {
        if (done) *done = 0;
        if (!(access & (writing ? SHARE_W : SHARE_R))) return fail(FALSE, ERROR_ACCESS_DENIED);
        if (writing && append_only) lseek(fd, 0, SEEK_END);
        auto *bytes = static_cast<char *>(buffer);
        DWORD total = 0;
        while (total < count) {
            ssize_t n;
            if (writing)
                n = offset < 0 ? ::write(fd, bytes + total, count - total)
                               : pwrite(fd, bytes + total, count - total, offset + total);
            else
                n = offset < 0 ? ::read(fd, bytes + total, count - total)
                               : pread(fd, bytes + total, count - total, offset + total);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                if (done) *done = total;
                if (errno == EISDIR) return fail(FALSE, ERROR_INVALID_FUNCTION);
                return fail_errno(FALSE);
            }
            if (n == 0) break;
            total += static_cast<DWORD>(n);
        }
        if (done) *done = total;
        if (writing && total > 0 && !archive_marked) {
            // A changed file is due for backup again, as Windows marks it.
            archive_marked = true;
            DWORD bits = 0;
            if (read_xattr(host, bits) && !(bits & FILE_ATTRIBUTE_ARCHIVE))
                write_xattr(host, bits | FILE_ATTRIBUTE_ARCHIVE);
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
};

FileObject *as_file(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<FileObject *>(handle);
}

kova_io_object *as_io(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
    return dynamic_cast<kova_io_object *>(handle);
}

unsigned share_bits_of_access(DWORD access) {
    unsigned bits = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) bits |= SHARE_R;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        bits |= SHARE_W;
    if (access & (DELETE | GENERIC_ALL)) bits |= SHARE_D;
    return bits;
}

// Holds the lock of a DELETE access while a file is deleted or renamed, so that handles
// which do not share deletion keep it in place.
DWORD check_delete_sharing(const std::string &host, int &fd) {
    fd = open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return 0;
    return take_share_locks(fd, SHARE_D, SHARE_R | SHARE_W | SHARE_D);
}

std::string last_component(const std::string &dos) {
    return dos.substr(dos.rfind('\\') + 1);
}

// Copies a regular file's bytes, mode, times and kept attributes to a new file `to`.
bool copy_across(const std::string &from, const std::string &to, const struct stat &st) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return fail_errno(false);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return fail_errno(false);
    }
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t off = 0; ok && off < n;) {
            ssize_t w = write(out, buf + off, static_cast<size_t>(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0)
                ok = false;
            else
                off += w;
        }
        if (!ok) break;
    }
    DWORD err = ok ? 0 : kova_error_from_errno(errno);
    if (ok) {
        timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
        fchmod(out, st.st_mode & 07777);
        DWORD bits;
        if (read_xattr(from, bits)) write_xattr(to, bits);
    }
    close(in);
    if (close(out) != 0 && ok) ok = false, err = kova_error_from_errno(errno);
    if (!ok) {
        unlink(to.c_str());
        return fail(false, err ? err : ERROR_WRITE_FAULT);
    }
    return true;
}

HANDLE create_file(const std::string &name, DWORD access, DWORD share, DWORD disposition,
                   DWORD flags) {
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    ResolvedPath r;
    if (!resolve(name, r)) return INVALID_HANDLE_VALUE;
    unsigned acc = share_bits_of_access(access);
    if (disposition == TRUNCATE_EXISTING && !(acc & SHARE_W))
        return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);

    auto file = std::make_unique<FileObject>();
    file->host = r.host;
    file->access = acc;
    file->write_attributes = (acc & SHARE_W) || (access & FILE_WRITE_ATTRIBUTES);
    file->append_only =
        (access & FILE_APPEND_DATA) && !(access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA));
    int sync = flags & FILE_FLAG_WRITE_THROUGH ? O_DSYNC : 0;

    bool created = false, existed = false;
    for (int attempt = 0; attempt < 2 && file->fd < 0; ++attempt) {
        struct stat st;
        existed = stat(r.host.c_str(), &st) == 0;
        if (existed && S_ISDIR(st.st_mode)) {
            if (disposition == CREATE_NEW) return fail(INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
            if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) || (acc & SHARE_W))
                return fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
            file->fd = open(r.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (file->fd < 0) return fail_errno(INVALID_HANDLE_VALUE);
            break;
        }
        if (r.trailing_sep) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_NAME);
        if (existed) {
            if (disposition == CREATE_NEW) return fail(INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
            if ((acc & (SHARE_W | SHARE_D)) && read_only_mode(st.st_mode))
                return fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
            int mode = acc & SHARE_W ? O_RDWR : O_RDONLY;
            file->fd = open(r.host.c_str(), mode | sync | O_CLOEXEC | O_NOCTTY);
            if (file->fd < 0 && errno == EACCES && (acc & SHARE_W) && !(acc & SHARE_R))
                file->fd = open(r.host.c_str(), O_WRONLY | sync | O_CLOEXEC | O_NOCTTY);
            if (file->fd < 0 && errno == ENOENT) continue; // removed meanwhile
            if (file->fd < 0) return fail_errno(INVALID_HANDLE_VALUE);
        } else {
            if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
                return fail(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
            file->fd = open(r.host.c_str(), O_RDWR | O_CREAT | O_EXCL | sync | O_CLOEXEC, 0666);
            if (file->fd < 0 && errno == EEXIST && disposition != CREATE_NEW) continue;
            if (file->fd < 0) return fail_errno(INVALID_HANDLE_VALUE, errno == ENOENT);
            created = true;
        }
    }
    if (file->fd < 0) return fail(INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);

    if (DWORD err = take_share_locks(file->fd, acc, share & 7)) {
        if (created) unlink(r.host.c_str());
        return fail(INVALID_HANDLE_VALUE, err);
    }
    struct stat st;
    fstat(file->fd, &st);
    if (existed && !S_ISDIR(st.st_mode) &&
        (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
        if (ftruncate(file->fd, 0) != 0) return fail_errno(INVALID_HANDLE_VALUE);
    }
    // Appends through several handles, in any process, land one after another at the end.
    if (file->append_only) fcntl(file->fd, F_SETFL, fcntl(file->fd, F_GETFL) | O_APPEND);
    if (created || (existed && disposition == CREATE_ALWAYS)) {
        // A new file carries the attributes asked for (read-only applies after this handle).
        DWORD wanted =
            (flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) |
            FILE_ATTRIBUTE_ARCHIVE;
        store_attributes(r.host, st, wanted);
    }
    file->delete_on_close = flags & FILE_FLAG_DELETE_ON_CLOSE;
    file->name_unsynced = created;
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return file.release();
}

bool delete_file(const std::string &name) {
    ResolvedPath r;
    if (!resolve(name, r)) return false;
    struct stat lst, st;
    if (lstat(r.host.c_str(), &lst) != 0) return fail(false, ERROR_FILE_NOT_FOUND);
    bool link = S_ISLNK(lst.st_mode);
    bool target = stat(r.host.c_str(), &st) == 0;
    if (r.is_root || (target && S_ISDIR(st.st_mode))) return fail(false, ERROR_ACCESS_DENIED);
    if (r.trailing_sep) return fail(false, ERROR_INVALID_NAME);
    if (!link && read_only_mode(lst.st_mode)) return fail(false, ERROR_ACCESS_DENIED);
    int fd = -1;
    DWORD err = link ? 0 : check_delete_sharing(r.host, fd);
    if (!err && unlink(r.host.c_str()) != 0) err = kova_error_from_errno(errno);
    if (fd >= 0) close(fd);
    if (err) return fail(false, err);
    SetLastError(ERROR_SUCCESS);
    return true;
}

DWORD get_attributes(const std::string &name) {
    ResolvedPath r;
    if (!resolve(name, r)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(r.host.c_str(), &st) != 0 && lstat(r.host.c_str(), &st) != 0)
        return fail(INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND);
    if (r.trailing_sep && !S_ISDIR(st.st_mode))
        return fail(INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME);
    SetLastError(ERROR_SUCCESS);
    return attributes_of(r.host, st);
}

} // namespace

DWORD take_share_locks(int fd, unsigned access, unsigned share) {
    if (!(access & 7)) return 0; // attribute-only handles take part in no sharing
    unsigned deny = ~share & 7;
    const unsigned bits[3] = {SHARE_R, SHARE_W, SHARE_D};
    for (int i = 0; i < 3; ++i) {
        int rc = 0;
        if (access & bits[i]) rc = ofd_lock(fd, F_OFD_SETLK, F_RDLCK, share_base + ACCESS_R + i, 1);
        if (rc == 0 && (deny & bits[i]))
            rc = ofd_lock(fd, F_OFD_SETLK, F_RDLCK, share_base + DENY_R + i, 1);
        if (rc != 0) {
            ofd_lock(fd, F_OFD_SETLK, F_UNLCK, share_base, 6);
            // Without a readable descriptor or lock support there is nothing to hold.
            if (errno == EBADF || errno == EINVAL || errno == ENOLCK || errno == ENOSYS) return 0;
            return kova_error_from_errno(errno);
        }
    }
    // Set first, then test: of two racing opens at least one sees the other, never neither.
    bool conflict = false;
    for (int i = 0; i < 3 && !conflict; ++i) {
        short found = F_UNLCK;
        if ((access & bits[i]) &&
            ofd_lock(fd, F_OFD_GETLK, F_WRLCK, share_base + DENY_R + i, 1, &found) == 0 &&
            found != F_UNLCK)
            conflict = true;
        if ((deny & bits[i]) &&
            ofd_lock(fd, F_OFD_GETLK, F_WRLCK, share_base + ACCESS_R + i, 1, &found) == 0 &&
            found != F_UNLCK)
            conflict = true;
    }
    if (!conflict) return 0;
    ofd_lock(fd, F_OFD_SETLK, F_UNLCK, share_base, 6);
    return ERROR_SHARING_VIOLATION;
}

DWORD attributes_of(const std::string &host, const struct stat &st) {
    bool dir = S_ISDIR(st.st_mode);
    DWORD attributes = dir ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (!dir && read_only_mode(st.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
    DWORD bits = 0;
    if (read_xattr(host, bits))
        attributes |= bits & (kept_bits | (dir ? FILE_ATTRIBUTE_READONLY : 0));
    else if (!dir)
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// FILETIME counts 100 ns since 1601-01-01 UTC; the host counts from 1970.
constexpr int64_t epoch_gap = 11644473600LL;

FILETIME filetime_from_timespec(const timespec &ts) {
    uint64_t ticks = static_cast<uint64_t>((ts.tv_sec + epoch_gap) * 10000000LL + ts.tv_nsec / 100);
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

timespec timespec_from_filetime(const FILETIME &ft) {
    int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ticks / 10000000LL - epoch_gap);
    ts.tv_nsec = static_cast<long>(ticks % 10000000LL) * 100;
    return ts;
}

FILETIME creation_time_of(const std::string &host, const struct stat &st) {
    struct statx sx;
    if (statx(AT_FDCWD, host.c_str(), 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
        return filetime_from_timespec(timespec{sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec});
    return filetime_from_timespec(st.st_mtim);
}

} // namespace kova_posix

using namespace kova_posix;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    if (!name) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(INVALID_HANDLE_VALUE, ERROR_FILENAME_EXCED_RANGE);
    return create_file(utf8_from_ansi(name), access, share, disposition, flags);
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (!name) return fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    return create_file(utf8_from_wide(name), access, share, disposition, flags);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    if (FileObject *file = as_file(handle); file && overlapped) {
        off_t at = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                      overlapped->Offset);
        return file->transfer(buffer, count, done, at);
    }
    kova_io_object *io = as_io(handle);
    if (!io) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!buffer && count) return fail(FALSE, ERROR_INVALID_PARAMETER);
    return io->read(buffer, count, done);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    if (FileObject *file = as_file(handle); file && overlapped) {
        off_t at = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                      overlapped->Offset);
        return file->transfer(const_cast<void *>(buffer), count, done, at, true);
    }
    kova_io_object *io = as_io(handle);
    if (!io) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!buffer && count) return fail(FALSE, ERROR_INVALID_PARAMETER);
    return io->write(buffer, count, done);
}

BOOL FlushFileBuffers(HANDLE handle) {
    kova_io_object *io = as_io(handle);
    if (!io) return fail(FALSE, ERROR_INVALID_HANDLE);
    return io->flush();
}

BOOL kova_file_write_behind(HANDLE handle) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    // Only starts the writes; a filesystem without the call just writes later.
    sync_file_range(file->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD method) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = lseek(file->fd, 0, SEEK_CUR);
    } else if (method == FILE_END) {
        struct stat st;
        if (fstat(file->fd, &st) != 0) return fail_errno(FALSE);
        base = st.st_size;
    } else if (method != FILE_BEGIN) {
        return fail(FALSE, ERROR_INVALID_PARAMETER);
    }
    if (base < 0) return fail_errno(FALSE);
    int64_t target = base + distance.QuadPart;
    if (target < 0) return fail(FALSE, ERROR_NEGATIVE_SEEK);
    if (lseek(file->fd, static_cast<off_t>(target), SEEK_SET) < 0) return fail_errno(FALSE);
    if (new_position) new_position->QuadPart = target;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG *distance_high, DWORD method) {
    LARGE_INTEGER move, result;
    move.QuadPart = distance_high
                        ? static_cast<LONGLONG>(
                              (static_cast<uint64_t>(static_cast<uint32_t>(*distance_high)) << 32) |
                              static_cast<uint32_t>(distance))
                        : distance;
    if (!SetFilePointerEx(handle, move, &result, method)) return INVALID_SET_FILE_POINTER;
    if (distance_high) *distance_high = result.HighPart;
    return result.LowPart;
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return fail_errno(FALSE);
    if (size) size->QuadPart = st.st_size;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFileSize(HANDLE handle, LPDWORD size_high) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) return INVALID_FILE_SIZE;
    if (size_high) *size_high = static_cast<DWORD>(size.HighPart);
    return size.LowPart;
}

BOOL SetEndOfFile(HANDLE handle) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!(file->access & SHARE_W)) return fail(FALSE, ERROR_ACCESS_DENIED);
    off_t at = lseek(file->fd, 0, SEEK_CUR);
    if (at < 0 || ftruncate(file->fd, at) != 0) return fail_errno(FALSE);
    return TRUE;
}

BOOL GetFileTime(HANDLE handle, LPFILETIME creation, LPFILETIME access, LPFILETIME write) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return fail_errno(FALSE);
    if (creation) {
        struct statx sx;
        if (statx(file->fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 &&
            (sx.stx_mask & STATX_BTIME))
            *creation = filetime_from_timespec(timespec{sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec});
        else
            *creation = filetime_from_timespec(st.st_mtim);
    }
    if (access) *access = filetime_from_timespec(st.st_atim);
    if (write) *write = filetime_from_timespec(st.st_mtim);
    return TRUE;
}

BOOL SetFileTime(HANDLE handle, const FILETIME *, const FILETIME *access, const FILETIME *write) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!file->write_attributes) return fail(FALSE, ERROR_ACCESS_DENIED);
    // A missing or zero time leaves that time as it is; the host keeps no creation time to set.
    auto pick = [](const FILETIME *ft) {
        if (!ft || (ft->dwLowDateTime == 0 && ft->dwHighDateTime == 0) ||
            (ft->dwLowDateTime == 0xFFFFFFFF && ft->dwHighDateTime == 0xFFFFFFFF))
            return timespec{0, UTIME_OMIT};
        return timespec_from_filetime(*ft);
    };
    timespec times[2] = {pick(access), pick(write)};
    if (futimens(file->fd, times) != 0) return fail_errno(FALSE);
    return TRUE;
}

BOOL SetFileInformationByHandle(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS info_class, LPVOID info,
                                DWORD size) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (info_class != FileIoPriorityHintInfo || !info || size < sizeof(FILE_IO_PRIORITY_HINT_INFO))
        return fail(FALSE, ERROR_INVALID_PARAMETER);
    PRIORITY_HINT hint = static_cast<FILE_IO_PRIORITY_HINT_INFO *>(info)->PriorityHint;
    if (hint < IoPriorityHintVeryLow || hint > IoPriorityHintNormal)
        return fail(FALSE, ERROR_INVALID_PARAMETER);
    file->hint = hint;
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
    if (!name) return fail(INVALID_FILE_ATTRIBUTES, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(INVALID_FILE_ATTRIBUTES, ERROR_FILENAME_EXCED_RANGE);
    return get_attributes(utf8_from_ansi(name));
}

DWORD GetFileAttributesW(LPCWSTR name) {
    if (!name) return fail(INVALID_FILE_ATTRIBUTES, ERROR_INVALID_PARAMETER);
    return get_attributes(utf8_from_wide(name));
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(FALSE, ERROR_FILENAME_EXCED_RANGE);
    ResolvedPath r;
    if (!resolve(utf8_from_ansi(name), r)) return FALSE;
    struct stat st;
    if (stat(r.host.c_str(), &st) != 0) return fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (!store_attributes(r.host, st, attributes)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    if (strlen(name) >= MAX_PATH) return fail(FALSE, ERROR_FILENAME_EXCED_RANGE);
    return delete_file(utf8_from_ansi(name));
}

BOOL DeleteFileW(LPCWSTR name) {
    if (!name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    return delete_file(utf8_from_wide(name));
}

BOOL MoveFileA(LPCSTR from_name, LPCSTR to_name) {
    return MoveFileExA(from_name, to_name, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExA(LPCSTR from_name, LPCSTR to_name, DWORD flags) {
    if (!from_name || !to_name) return fail(FALSE, ERROR_INVALID_PARAMETER);
    if (strlen(from_name) >= MAX_PATH || strlen(to_name) >= MAX_PATH)
        return fail(FALSE, ERROR_FILENAME_EXCED_RANGE);
    ResolvedPath from, to;
    if (!resolve(utf8_from_ansi(from_name), from)) return FALSE;
    struct stat from_st;
    if (lstat(from.host.c_str(), &from_st) != 0) return fail(FALSE, ERROR_FILE_NOT_FOUND);
    if (from.is_root) return fail(FALSE, ERROR_ACCESS_DENIED);
    if (!resolve(utf8_from_ansi(to_name), to)) return FALSE;
    if (to.is_root) return fail(FALSE, ERROR_ACCESS_DENIED);
    // The new name is written as given; an existing entry is refused unless it is the same
    // file under another case, or replacing was asked for. A replaced entry keeps its own
    // name, so that no second entry differing only in case appears beside it.
    std::string target = to.parent + (to.parent == "/" ? "" : "/") + last_component(to.dos);
    struct stat to_st;
    int target_fd = -1;
    DWORD err = 0;
    if (to.exists && lstat(to.host.c_str(), &to_st) == 0 &&
        !(to_st.st_dev == from_st.st_dev && to_st.st_ino == from_st.st_ino)) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return fail(FALSE, ERROR_ALREADY_EXISTS);
        if (S_ISDIR(to_st.st_mode) || !S_ISREG(from_st.st_mode) ||
            (!S_ISLNK(to_st.st_mode) && read_only_mode(to_st.st_mode)))
            return fail(FALSE, ERROR_ACCESS_DENIED);
        if (S_ISREG(to_st.st_mode)) err = check_delete_sharing(to.host, target_fd);
        target = to.host;
    }
    int fd = -1;
    if (!err && S_ISREG(from_st.st_mode)) err = check_delete_sharing(from.host, fd);
    if (!err && rename(from.host.c_str(), target.c_str()) != 0) {
        if (errno == EXDEV && S_ISREG(from_st.st_mode) && (flags & MOVEFILE_COPY_ALLOWED)) {
            if (!copy_across(from.host, target, from_st))
                err = GetLastError();
            else if (unlink(from.host.c_str()) != 0)
                err = kova_error_from_errno(errno), unlink(target.c_str());
        } else {
            err = errno == EXDEV ? ERROR_NOT_SAME_DEVICE : kova_error_from_errno(errno);
        }
    }
    if (fd >= 0) close(fd);
    if (target_fd >= 0) close(target_fd);
    if (!err && (flags & MOVEFILE_WRITE_THROUGH) &&
        !(sync_parent(target) && (from.parent == to.parent || sync_parent(from.host))))
        err = GetLastError();
    if (err) return fail(FALSE, err);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFinalPathNameByHandleA(HANDLE handle, LPSTR buffer, DWORD size, DWORD flags) {
    FileObject *file = as_file(handle);
    if (!file) return fail(0u, ERROR_INVALID_HANDLE);
    if (flags & ~FILE_NAME_NORMALIZED) return fail(0u, ERROR_INVALID_PARAMETER);
    // The descriptor knows where the links on the way led; the DOS form of that place is the
    // one a Windows caller would see after its reparse points.
    char real[PATH_MAX];
    std::string proc = "/proc/self/fd/" + std::to_string(file->fd);
    ssize_t n = readlink(proc.c_str(), real, sizeof real - 1);
    if (n < 0) return fail_errno(0u);
    real[n] = '\0';
    std::string path = "\\\\?\\" + kova_dos_from_host(real);
    if (path.size() >= size) return fail(static_cast<DWORD>(path.size() + 1), ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

BOOL CopyFileA(LPCSTR from_name, LPCSTR to_name, BOOL fail_if_exists) {
    HANDLE from =
        CreateFileA(from_name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (from == INVALID_HANDLE_VALUE) return FALSE;
    DWORD attributes = GetFileAttributesA(from_name);
    HANDLE to = CreateFileA(to_name, GENERIC_WRITE, 0, nullptr,
                            fail_if_exists ? CREATE_NEW : CREATE_ALWAYS, 0, nullptr);
    if (to == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        CloseHandle(from);
        return fail(FALSE, err == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : err);
    }
    char buf[65536];
    DWORD got = 0, put = 0, err = 0;
    while (!err) {
        if (!ReadFile(from, buf, sizeof buf, &got, nullptr))
            err = GetLastError();
        else if (got == 0)
            break;
        else if (!WriteFile(to, buf, got, &put, nullptr))
            err = GetLastError();
    }
    FILETIME written;
    if (!err && GetFileTime(from, nullptr, nullptr, &written))
        SetFileTime(to, nullptr, nullptr, &written);
    CloseHandle(from);
    CloseHandle(to);
    if (err) {
        DeleteFileA(to_name);
        return fail(FALSE, err);
    }
    // The host's permission bits go with the copy, so that a copied program still runs.
    ResolvedPath from_path, to_path;
    struct stat from_st;
    if (resolve(utf8_from_ansi(from_name), from_path) &&
        resolve(utf8_from_ansi(to_name), to_path) && stat(from_path.host.c_str(), &from_st) == 0)
        chmod(to_path.host.c_str(), from_st.st_mode & 07777);
    if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(to_name, attributes);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

UINT GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR out) {
    if (!path || !out) return fail(0u, ERROR_INVALID_PARAMETER);
    std::string base = path;
    if (!base.empty() && base.back() != '\\' && base.back() != '/') base += '\\';
    base += std::string(prefix ? prefix : "").substr(0, 3);
    auto name_for = [&](UINT n) {
        char hex[8];
        snprintf(hex, sizeof hex, "%X", n & 0xFFFF);
        return base + hex + ".tmp";
    };
    if (name_for(0xFFFF).size() >= MAX_PATH) return fail(0u, ERROR_BUFFER_OVERFLOW);
    if (unique) {
        strcpy(out, name_for(unique).c_str());
        return unique & 0xFFFF;
    }
    UINT n = GetTickCount() & 0xFFFF;
    for (UINT tries = 0; tries < 0x10000; ++tries, n = (n + 1) & 0xFFFF) {
        if (n == 0) continue;
        std::string name = name_for(n);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            strcpy(out, name.c_str());
            SetLastError(ERROR_SUCCESS);
            return n;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return 0;
    }
    return fail(0u, ERROR_FILE_EXISTS);
}

// Byte-range locks of LockFileEx as open-file-description locks, so that they belong to the
// handle as on Windows. The share slots at the end of the offset range are never reached.
BOOL LockFileEx(HANDLE handle, DWORD flags, DWORD, DWORD count_low, DWORD count_high,
                LPOVERLAPPED overlapped) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!overlapped) return fail(FALSE, ERROR_INVALID_PARAMETER);
    off_t start = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                     overlapped->Offset);
    off_t length = static_cast<off_t>((static_cast<uint64_t>(count_high) << 32) | count_low);
    short type = flags & LOCKFILE_EXCLUSIVE_LOCK ? F_WRLCK : F_RDLCK;
    int cmd = flags & LOCKFILE_FAIL_IMMEDIATELY ? F_OFD_SETLK : F_OFD_SETLKW;
    while (ofd_lock(file->fd, cmd, type, start, length) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return fail(FALSE, ERROR_LOCK_VIOLATION);
        return fail_errno(FALSE);
    }
    return TRUE;
}

BOOL UnlockFileEx(HANDLE handle, DWORD, DWORD count_low, DWORD count_high,
                  LPOVERLAPPED overlapped) {
    FileObject *file = as_file(handle);
    if (!file) return fail(FALSE, ERROR_INVALID_HANDLE);
    if (!overlapped) return fail(FALSE, ERROR_INVALID_PARAMETER);
    off_t start = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                     overlapped->Offset);
    off_t length = static_cast<off_t>((static_cast<uint64_t>(count_high) << 32) | count_low);
    if (ofd_lock(file->fd, F_OFD_SETLK, F_UNLCK, start, length) != 0) return fail_errno(FALSE);
    return TRUE;
}

DWORD kova_create_private_file(std::string_view dos_path, const void *data, size_t size) {
    ResolvedPath r;
    if (!resolve(kova_utf8_from_ansi(dos_path), r)) return GetLastError();
    // Made private from the start, so the contents are never readable by others.
    int fd = open(r.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return kova_error_from_errno(errno, errno == ENOENT);
    const char *at = static_cast<const char *>(data);
    for (size_t left = size; left > 0;) {
        ssize_t n = write(fd, at, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            DWORD error = kova_error_from_errno(n < 0 ? errno : ENOSPC);
            close(fd);
            unlink(r.host.c_str());
            return error;
        }
        at += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) {
        DWORD error = kova_error_from_errno(errno);
        unlink(r.host.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}
