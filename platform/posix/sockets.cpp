// Windows Sockets 2 subset over BSD sockets: Winsock names, semantics and error numbers.
#include "platform/winsock.h"

#include "sockets_host.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<int> startups{0};

bool started() {
    if (startups.load() > 0) return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

// A SOCKET is the host descriptor; anything else is "not a socket".
bool valid(SOCKET s) {
    if (s == INVALID_SOCKET || s > 0x7fffffff) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    return true;
}

int fd_of(SOCKET s) {
    return static_cast<int>(s);
}

bool inet_address(const sockaddr *name, int namelen, uint32_t *address, uint16_t *port) {
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in))) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    if (name->sa_family != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return false;
    }
    sockaddr_in in;
    std::memcpy(&in, name, sizeof in);
    *address = in.sin_addr.s_addr;
    *port = in.sin_port;
    return true;
}

int store_address(sockaddr *name, int *namelen, uint32_t address, uint16_t port) {
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in))) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = port;
    in.sin_addr.s_addr = address;
    std::memcpy(name, &in, sizeof in);
    *namelen = sizeof in;
    return 0;
}

} // namespace

int WSAStartup(WORD version_requested, LPWSADATA data) {
    if (!data) return WSAEFAULT;
    BYTE major = static_cast<BYTE>(version_requested & 0xff);
    BYTE minor = static_cast<BYTE>(version_requested >> 8);
    std::memset(data, 0, sizeof *data);
    data->wHighVersion = MAKEWORD(2, 2);
    // Like Windows: 2.2 for any request of 2.2 or later, else the version asked for; below
    // 1.0 is refused.
    if (major == 0) {
        data->wVersion = MAKEWORD(2, 2);
        return WSAVERNOTSUPPORTED;
    }
    data->wVersion = (major > 2 || (major == 2 && minor >= 2)) ? MAKEWORD(2, 2) : version_requested;
    std::snprintf(data->szDescription, sizeof data->szDescription, "WinSock 2.0");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 0;
    data->iMaxUdpDg = 0;
    ++startups;
    return 0;
}

int WSACleanup() {
    int now = startups.load();
    while (now > 0 && !startups.compare_exchange_weak(now, now - 1)) {
    }
    if (now <= 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    return 0;
}

int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}
void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

SOCKET socket(int af, int type, int protocol) {
    if (!started()) return INVALID_SOCKET;
    (void)protocol; // 0 or the family's stream protocol; the host picks the same
    int fd = kova_host_socket_open(af, type);
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

int bind(SOCKET s, const sockaddr *name, int namelen) {
    uint32_t address;
    uint16_t port;
    if (!started() || !valid(s) || !inet_address(name, namelen, &address, &port))
        return SOCKET_ERROR;
    return kova_host_socket_bind(fd_of(s), address, port) < 0 ? SOCKET_ERROR : 0;
}

int listen(SOCKET s, int backlog) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    return kova_host_socket_listen(fd_of(s), backlog) < 0 ? SOCKET_ERROR : 0;
}

SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen) {
    if (!started() || !valid(s)) return INVALID_SOCKET;
    uint32_t address = 0;
    uint16_t port = 0;
    int fd = kova_host_socket_accept(fd_of(s), &address, &port);
    if (fd < 0) return INVALID_SOCKET;
    if (addr && store_address(addr, addrlen, address, port) != 0) {
        kova_host_socket_close(fd);
        WSASetLastError(WSAEFAULT);
        return INVALID_SOCKET;
    }
    return static_cast<SOCKET>(fd);
}

int connect(SOCKET s, const sockaddr *name, int namelen) {
    uint32_t address;
    uint16_t port;
    if (!started() || !valid(s) || !inet_address(name, namelen, &address, &port))
        return SOCKET_ERROR;
    return kova_host_socket_connect(fd_of(s), address, port) < 0 ? SOCKET_ERROR : 0;
}

int send(SOCKET s, const char *buf, int len, int flags) {
    (void)flags; // out-of-band and routing flags have no use here
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int n = kova_host_socket_send(fd_of(s), buf, len);
    return n < 0 ? SOCKET_ERROR : n;
}

int recv(SOCKET s, char *buf, int len, int flags) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (len < 0 || (!buf && len > 0)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int n = kova_host_socket_recv(fd_of(s), buf, len, (flags & 2) != 0); // MSG_PEEK
    return n < 0 ? SOCKET_ERROR : n;
}

int shutdown(SOCKET s, int how) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    return kova_host_socket_shutdown(fd_of(s), how) < 0 ? SOCKET_ERROR : 0;
}

int closesocket(SOCKET s) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    return kova_host_socket_close(fd_of(s)) < 0 ? SOCKET_ERROR : 0;
}

int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (!optval || optlen < 1) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    // Windows accepts a BOOL or DWORD, and a single byte for the boolean options.
    int value = 0;
    if (optlen >= static_cast<int>(sizeof(int)))
        std::memcpy(&value, optval, sizeof value);
    else
        value = static_cast<unsigned char>(optval[0]);
    return kova_host_socket_setopt(fd_of(s), level, optname, value) < 0 ? SOCKET_ERROR : 0;
}

int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (!optval || !optlen || *optlen < static_cast<int>(sizeof(int))) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int value = 0;
    if (kova_host_socket_getopt(fd_of(s), level, optname, &value) < 0) return SOCKET_ERROR;
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

int getsockname(SOCKET s, sockaddr *name, int *namelen) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    uint32_t address;
    uint16_t port;
    if (kova_host_socket_local(fd_of(s), &address, &port) < 0) return SOCKET_ERROR;
    return store_address(name, namelen, address, port);
}

int getpeername(SOCKET s, sockaddr *name, int *namelen) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    uint32_t address;
    uint16_t port;
    if (kova_host_socket_peer(fd_of(s), &address, &port) < 0) return SOCKET_ERROR;
    return store_address(name, namelen, address, port);
}

int ioctlsocket(SOCKET s, long cmd, ULONG *argp) {
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (!argp) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (static_cast<unsigned long>(cmd) != static_cast<unsigned long>(FIONBIO)) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return kova_host_socket_nonblocking(fd_of(s), *argp != 0) < 0 ? SOCKET_ERROR : 0;
}

int WSAIoctl(SOCKET s, DWORD io_control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
             DWORD out_size, LPDWORD bytes_returned, LPVOID overlapped, LPVOID completion_routine) {
    (void)out_buffer;
    (void)out_size;
    if (!started() || !valid(s)) return SOCKET_ERROR;
    if (overlapped || completion_routine || io_control_code != SIO_KEEPALIVE_VALS) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!in_buffer || in_size < sizeof(tcp_keepalive)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    tcp_keepalive values;
    std::memcpy(&values, in_buffer, sizeof values);
    if (kova_host_socket_keepalive(fd_of(s), values.onoff != 0, values.keepalivetime,
                                   values.keepaliveinterval) < 0)
        return SOCKET_ERROR;
    if (bytes_returned) *bytes_returned = 0;
    return 0;
}

int WSAPoll(LPWSAPOLLFD fds, ULONG count, INT timeout) {
    if (!started()) return SOCKET_ERROR;
    if (!fds && count > 0) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::vector<kova_host_pollfd> host(count);
    for (ULONG i = 0; i < count; ++i) {
        // Windows reports an invalid entry as POLLNVAL; the host does the same for -1 only
        // when asked, so a foreign value is mapped to a descriptor that cannot exist.
        int fd = fds[i].fd == INVALID_SOCKET || fds[i].fd > 0x7fffffff ? -1 : fd_of(fds[i].fd);
        host[i] = {fd, fds[i].events, 0};
    }
    int n = kova_host_socket_poll(host.data(), host.size(), timeout);
    if (n < 0) return SOCKET_ERROR;
    int ready = 0;
    for (ULONG i = 0; i < count; ++i) {
        fds[i].revents = host[i].fd < 0 ? POLLNVAL : host[i].revents;
        if (fds[i].revents) ++ready;
    }
    return ready;
}

hostent *gethostbyname(const char *name) {
    if (!started()) return nullptr;
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    // One answer per thread, valid until the thread's next call, as on Windows.
    thread_local std::string canonical;
    thread_local std::vector<uint32_t> addresses;
    thread_local std::vector<char *> list;
    thread_local char *no_aliases[1] = {nullptr};
    thread_local hostent entry;
    std::string host = name;
    if (host.empty()) kova_host_name(&host);
    addresses = kova_host_resolve(host, &canonical);
    if (addresses.empty()) return nullptr;
    list.clear();
    for (uint32_t &a : addresses) list.push_back(reinterpret_cast<char *>(&a));
    list.push_back(nullptr);
    entry.h_name = canonical.data();
    entry.h_aliases = no_aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = list.data();
    return &entry;
}

int gethostname(char *name, int namelen) {
    if (!started()) return SOCKET_ERROR;
    std::string host;
    if (kova_host_name(&host) < 0) return SOCKET_ERROR;
    if (!name || namelen <= static_cast<int>(host.size())) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(name, host.c_str(), host.size() + 1);
    return 0;
}

unsigned long inet_addr(const char *cp) {
    if (!cp) return INADDR_NONE;
    // As Windows reads it: one to four parts, each decimal, octal (leading 0) or hexadecimal
    // (0x), the last filling the bytes left ("1.2.3" is 1.2.0.3); trailing blanks end it.
    uint32_t parts[4];
    int count = 0;
    const char *p = cp;
    while (count < 4) {
        uint32_t base = 10;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
        }
        auto digit = [base](char c) -> int {
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
            return d < static_cast<int>(base) ? d : -1;
        };
        if (digit(*p) < 0) return INADDR_NONE;
        uint64_t value = 0;
        for (int d; (d = digit(*p)) >= 0; ++p) {
            value = value * base + static_cast<uint64_t>(d);
            if (value > 0xffffffffu) return INADDR_NONE;
        }
        parts[count++] = static_cast<uint32_t>(value);
        if (*p != '.') break;
        ++p;
    }
    while (*p == ' ') ++p;
    if (*p != '\0') return INADDR_NONE;
    uint32_t host = 0;
    for (int i = 0; i + 1 < count; ++i) {
        if (parts[i] > 255) return INADDR_NONE;
        host |= parts[i] << (24 - 8 * i);
    }
    uint32_t last = parts[count - 1];
    if (count > 1 && last >> (8 * (5 - count)) != 0) return INADDR_NONE;
    return htonl(host | last);
}

char *inet_ntoa(in_addr in) {
    thread_local char text[16];
    uint32_t host = ntohl(in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", host >> 24, (host >> 16) & 0xff,
                  (host >> 8) & 0xff, host & 0xff);
    return text;
}

USHORT htons(USHORT host) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(host >> 8),
                                    static_cast<unsigned char>(host)};
    USHORT net;
    std::memcpy(&net, bytes, sizeof net);
    return net;
}

USHORT ntohs(USHORT net) {
    unsigned char bytes[2];
    std::memcpy(bytes, &net, sizeof net);
    return static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
}

ULONG htonl(ULONG host) {
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(host >> 24), static_cast<unsigned char>(host >> 16),
        static_cast<unsigned char>(host >> 8), static_cast<unsigned char>(host)};
    ULONG net;
    std::memcpy(&net, bytes, sizeof net);
    return net;
}

ULONG ntohl(ULONG net) {
    unsigned char bytes[4];
    std::memcpy(bytes, &net, sizeof net);
    return static_cast<ULONG>(bytes[0]) << 24 | static_cast<ULONG>(bytes[1]) << 16 |
           static_cast<ULONG>(bytes[2]) << 8 | bytes[3];
}
