// Host half of the Winsock subset: the BSD socket calls behind each Winsock function.
#include "platform/win32.h"

#include "sockets_host.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Winsock numbers of the host's errno values (those a socket call can report).
int wsa_from_errno(int err) {
    switch (err) {
    case EINTR:
        return 10004;
    case EBADF:
        return 10038; // a closed or foreign descriptor is "not a socket" on Windows
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
    case EINPROGRESS:
        return 10035; // a connect in progress is WSAEWOULDBLOCK on Windows
    case EALREADY:
        return 10037;
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case EPIPE:
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case ESHUTDOWN:
        return 10058;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    default:
        return 10022;
    }
}

int fail() {
    SetLastError(static_cast<DWORD>(wsa_from_errno(errno)));
    return -1;
}

int fail_with(int wsa_error) {
    SetLastError(static_cast<DWORD>(wsa_error));
    return -1;
}

sockaddr_in make_address(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

bool host_option(int level, int option, int *host_level, int *host_option) {
    if (level == 0xffff) { // SOL_SOCKET
        *host_level = SOL_SOCKET;
        switch (option) {
        case 0x0004:
            *host_option = SO_REUSEADDR;
            return true;
        case 0x0008:
            *host_option = SO_KEEPALIVE;
            return true;
        case 0x1007:
            *host_option = SO_ERROR;
            return true;
        default:
            return false;
        }
    }
    if (level == 6 && option == 0x0001) { // IPPROTO_TCP, TCP_NODELAY
        *host_level = IPPROTO_TCP;
        *host_option = TCP_NODELAY;
        return true;
    }
    return false;
}

} // namespace

int kova_host_socket_open(int winsock_family, int winsock_type) {
    if (winsock_family != 2) return fail_with(10047); // no IPX/SPX on this host
    if (winsock_type != 1) return fail_with(10044);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? fail() : fd;
}

int kova_host_socket_close(int fd) {
    return ::close(fd) == 0 ? 0 : fail();
}

int kova_host_socket_shutdown(int fd, int winsock_how) {
    int how = winsock_how == 0 ? SHUT_RD : winsock_how == 1 ? SHUT_WR : SHUT_RDWR;
    return ::shutdown(fd, how) == 0 ? 0 : fail();
}

int kova_host_socket_bind(int fd, uint32_t address, uint16_t port) {
    sockaddr_in sa = make_address(address, port);
    return ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : fail();
}

int kova_host_socket_listen(int fd, int backlog) {
    return ::listen(fd, backlog < 0 || backlog > SOMAXCONN ? SOMAXCONN : backlog) == 0 ? 0 : fail();
}

int kova_host_socket_accept(int fd, uint32_t *address, uint16_t *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int client;
    do {
        client = ::accept4(fd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
    } while (client < 0 && errno == EINTR);
    if (client < 0) return fail();
    if (address) *address = sa.sin_addr.s_addr;
    if (port) *port = sa.sin_port;
    return client;
}

int kova_host_socket_connect(int fd, uint32_t address, uint16_t port) {
    sockaddr_in sa = make_address(address, port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) return 0;
    if (errno != EINTR) return fail();
    // An interrupted connect goes on in the background: wait for its outcome.
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail();
    if (err == 0) return 0;
    errno = err;
    return fail();
}

int kova_host_socket_send(int fd, const char *buf, int len) {
    ssize_t n;
    do {
        n = ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<int>(n);
}

int kova_host_socket_recv(int fd, char *buf, int len, bool peek) {
    ssize_t n;
    do {
        n = ::recv(fd, buf, static_cast<size_t>(len), peek ? MSG_PEEK : 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? fail() : static_cast<int>(n);
}

int kova_host_socket_local(int fd, uint32_t *address, uint16_t *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail();
    *address = sa.sin_addr.s_addr;
    *port = sa.sin_port;
    return 0;
}

int kova_host_socket_peer(int fd, uint32_t *address, uint16_t *port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail();
    *address = sa.sin_addr.s_addr;
    *port = sa.sin_port;
    return 0;
}

int kova_host_socket_nonblocking(int fd, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return fail();
    flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return ::fcntl(fd, F_SETFL, flags) == 0 ? 0 : fail();
}

int kova_host_socket_setopt(int fd, int winsock_level, int winsock_option, int value) {
    int level, option;
    if (!host_option(winsock_level, winsock_option, &level, &option)) return fail_with(10042);
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0 ? 0 : fail();
}

int kova_host_socket_getopt(int fd, int winsock_level, int winsock_option, int *value) {
    int level, option;
    if (!host_option(winsock_level, winsock_option, &level, &option)) return fail_with(10042);
    socklen_t len = sizeof *value;
    if (::getsockopt(fd, level, option, value, &len) != 0) return fail();
    if (option == SO_ERROR && *value != 0) *value = wsa_from_errno(*value);
    return 0;
}

int kova_host_socket_keepalive(int fd, bool on, uint32_t idle_ms, uint32_t interval_ms) {
    int enable = on ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &enable, sizeof enable) != 0) return fail();
    if (!on) return 0;
    // The host counts in whole seconds; a part of a second rounds up so that no probe comes
    // earlier than asked.
    int idle = static_cast<int>((idle_ms + 999) / 1000),
        interval = static_cast<int>((interval_ms + 999) / 1000);
    if (idle < 1) idle = 1;
    if (interval < 1) interval = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0) return fail();
    if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
        return fail();
    return 0;
}

int kova_host_socket_poll(kova_host_pollfd *fds, size_t count, int timeout_ms) {
    std::vector<pollfd> host(count);
    for (size_t i = 0; i < count; ++i) {
        short events = 0;
        if (fds[i].events & 0x0300) events |= POLLIN;  // POLLRDNORM, POLLRDBAND
        if (fds[i].events & 0x0400) events |= POLLPRI; // POLLPRI
        if (fds[i].events & 0x0030) events |= POLLOUT; // POLLWRNORM, POLLWRBAND
        host[i] = {fds[i].fd, events, 0};
    }
    int n;
    do {
        n = ::poll(host.data(), count, timeout_ms);
    } while (n < 0 && errno == EINTR && timeout_ms < 0);
    if (n < 0) return errno == EINTR ? 0 : fail();
    for (size_t i = 0; i < count; ++i) {
        short r = 0, h = host[i].revents;
        if (h & POLLIN) r |= 0x0100;
        if (h & POLLPRI) r |= 0x0400;
        if (h & POLLOUT) r |= 0x0010;
        if (h & POLLERR) r |= 0x0001;
        if (h & POLLHUP) r |= 0x0002 | (fds[i].events & 0x0100); // a hang-up reads as the end
        if (h & POLLNVAL) r |= 0x0004;
        fds[i].revents = r;
    }
    return n;
}

std::vector<uint32_t> kova_host_resolve(const std::string &name, std::string *canonical) {
    std::vector<uint32_t> addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        SetLastError(rc == EAI_AGAIN ? 11002 : rc == EAI_FAIL ? 11003 : 11001);
        return addresses;
    }
    if (canonical) *canonical = list->ai_canonname ? list->ai_canonname : name;
    for (addrinfo *a = list; a; a = a->ai_next) {
        uint32_t address = reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (uint32_t known : addresses) seen = seen || known == address;
        if (!seen) addresses.push_back(address);
    }
    ::freeaddrinfo(list);
    if (addresses.empty()) SetLastError(11004);
    return addresses;
}

int kova_host_name(std::string *name) {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return fail();
    *name = buf;
    return 0;
}
