// Host half of the Winsock subset: BSD socket calls in Winsock terms (addresses in network
// order, Winsock flags in and out, Winsock error numbers through SetLastError). Only
// sockets.cpp and sockets_host.cpp include it; neither side sees the other's headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Every function that fails answers -1 and sets the last error to a Winsock error number.
int kova_host_socket_open(int winsock_family, int winsock_type);
int kova_host_socket_close(int fd);
int kova_host_socket_shutdown(int fd, int winsock_how);
int kova_host_socket_bind(int fd, uint32_t address, uint16_t port);
int kova_host_socket_listen(int fd, int backlog);
int kova_host_socket_accept(int fd, uint32_t *address, uint16_t *port);
int kova_host_socket_connect(int fd, uint32_t address, uint16_t port);
int kova_host_socket_send(int fd, const char *buf, int len);
int kova_host_socket_recv(int fd, char *buf, int len, bool peek);
int kova_host_socket_local(int fd, uint32_t *address, uint16_t *port);
int kova_host_socket_peer(int fd, uint32_t *address, uint16_t *port);
int kova_host_socket_nonblocking(int fd, bool on);
// Winsock level and option names; `value` is the integer option value.
int kova_host_socket_setopt(int fd, int winsock_level, int winsock_option, int value);
int kova_host_socket_getopt(int fd, int winsock_level, int winsock_option, int *value);
int kova_host_socket_keepalive(int fd, bool on, uint32_t idle_ms, uint32_t interval_ms);

struct kova_host_pollfd {
    int fd;
    short events, revents; // Winsock POLL* bits
};
int kova_host_socket_poll(kova_host_pollfd *fds, size_t count, int timeout_ms);

// IPv4 addresses of a host name (network order), empty with the last error set on failure.
std::vector<uint32_t> kova_host_resolve(const std::string &name, std::string *canonical);
int kova_host_name(std::string *name);
