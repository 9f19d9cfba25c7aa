// Windows Sockets 2 subset of the POSIX platform: the calls the manager connections and the
// stand-in managers make, with Winsock names, types, constants and error numbers over BSD
// sockets. Reached through platform/winsock.h.
#pragma once

#include "platform/posix/base.h"

// These names are also the host's (`socket`, `sockaddr`, `AF_INET` ...): a source that has seen
// the host's socket headers, or defines KOVA_HOST_SOCKETS, does not get them.
#if !defined(KOVA_HOST_SOCKETS) && !defined(_SYS_SOCKET_H) && !defined(_NETDB_H) &&                \
    !defined(_NETINET_IN_H) && !defined(_ARPA_INET_H) && !defined(_SYS_POLL_H)

// The host's headers give u_long 64 bits; Winsock's is 32, so ULONG stands in for it here.
using SOCKET = UINT_PTR;
using USHORT = unsigned short;

#define INVALID_SOCKET (static_cast<SOCKET>(~static_cast<SOCKET>(0)))
#define SOCKET_ERROR (-1)

#define AF_UNSPEC 0
#define AF_INET 2
#define AF_IPX 6
#define SOCK_STREAM 1
#define IPPROTO_TCP 6
#define NSPROTO_SPX 1256

#define SOL_SOCKET 0xffff
#define SO_REUSEADDR 0x0004
#define SO_KEEPALIVE 0x0008
#define SO_ERROR 0x1007
#define TCP_NODELAY 0x0001
#define SOMAXCONN 0x7fffffff

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

#define FIONBIO 0x8004667E
#define SIO_KEEPALIVE_VALS 0x98000004

#define INADDR_ANY 0x00000000u
#define INADDR_LOOPBACK 0x7f000001u
#define INADDR_NONE 0xffffffffu

#define POLLRDNORM 0x0100
#define POLLRDBAND 0x0200
#define POLLIN (POLLRDNORM | POLLRDBAND)
#define POLLPRI 0x0400
#define POLLWRNORM 0x0010
#define POLLOUT POLLWRNORM
#define POLLWRBAND 0x0020
#define POLLERR 0x0001
#define POLLHUP 0x0002
#define POLLNVAL 0x0004

#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128

// Winsock error numbers, reported through WSAGetLastError.
enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
};
using LPWSADATA = WSADATA *;

struct in_addr {
    ULONG s_addr; // network byte order
};

struct sockaddr {
    USHORT sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    USHORT sin_port; // network byte order
    in_addr sin_addr;
    char sin_zero[8];
};

using SOCKADDR = sockaddr;
using SOCKADDR_IN = sockaddr_in;
using PSOCKADDR = sockaddr *;
using LPSOCKADDR = sockaddr *;

struct hostent {
    char *h_name;
    char **h_aliases;
    short h_addrtype;
    short h_length;
    char **h_addr_list;
};

struct tcp_keepalive {
    ULONG onoff;
    ULONG keepalivetime;     // milliseconds of silence before the first probe
    ULONG keepaliveinterval; // milliseconds between probes
};

struct WSAPOLLFD {
    SOCKET fd;
    short events;
    short revents;
};
using LPWSAPOLLFD = WSAPOLLFD *;

#define MAKEWORD(low, high)                                                                        \
    (static_cast<WORD>((static_cast<BYTE>(low)) |                                                  \
                       (static_cast<WORD>(static_cast<BYTE>(high)) << 8)))

int WSAStartup(WORD version_requested, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr *name, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr *addr, int *addrlen);
int connect(SOCKET s, const sockaddr *name, int namelen);
int send(SOCKET s, const char *buf, int len, int flags);
int recv(SOCKET s, char *buf, int len, int flags);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char *optval, int *optlen);
int getsockname(SOCKET s, sockaddr *name, int *namelen);
int getpeername(SOCKET s, sockaddr *name, int *namelen);
int ioctlsocket(SOCKET s, long cmd, ULONG *argp);
// Only SIO_KEEPALIVE_VALS is offered; overlapped operation is not.
int WSAIoctl(SOCKET s, DWORD io_control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
             DWORD out_size, LPDWORD bytes_returned, LPVOID overlapped, LPVOID completion_routine);
// Waits for the events of the sockets for up to `timeout` milliseconds (negative: no limit);
// answers the number of sockets with events, 0 on time-out, SOCKET_ERROR on failure.
int WSAPoll(LPWSAPOLLFD fds, ULONG count, INT timeout);

hostent *gethostbyname(const char *name);
int gethostname(char *name, int namelen);
unsigned long inet_addr(const char *cp);
char *inet_ntoa(in_addr in);
USHORT htons(USHORT host);
USHORT ntohs(USHORT net);
ULONG htonl(ULONG host);
ULONG ntohl(ULONG net);

#endif
