// The Winsock subset of the platform on loopback: start-up, Winsock error numbers, a stream
// between a listener and a client, polling and addresses.
#include "platform/winsock.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Sockets, NeedWSAStartup) {
    while (WSACleanup() == 0) {
    }
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);
    EXPECT_EQ(0, WSACleanup());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
}

TEST(Sockets, AddressTexts) {
    struct Case {
        const char *text;
        unsigned long address;
    } cases[] = {
        {"127.0.0.1", htonl(0x7f000001)},
        {"10.1.2.3  ", htonl(0x0a010203)},
        {"1.2.3", htonl(0x01020003)},
        {"0x7f.1", htonl(0x7f000001)},
        {"012.0.0.1", htonl(0x0a000001)},
        {"1.2.65536", INADDR_NONE},
        {"256.1.1.1", INADDR_NONE},
        {"1.2.3.4x", INADDR_NONE},
        {"1.2.3.4.5", INADDR_NONE},
        {"08.1.1.1", INADDR_NONE},
        {"", INADDR_NONE},
    };
    for (const Case &c : cases) EXPECT_EQ(c.address, inet_addr(c.text)) << c.text;
    in_addr in;
    in.s_addr = htonl(0xc0a80001);
    EXPECT_STREQ("192.168.0.1", inet_ntoa(in));
    USHORT port = htons(0x1234);
    unsigned char bytes[2];
    std::memcpy(bytes, &port, 2);
    EXPECT_EQ(0x12, bytes[0]);
    EXPECT_EQ(0x34, bytes[1]);
    EXPECT_EQ(0x1234, ntohs(port));
}

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_NE(INVALID_SOCKET, listener_);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, bind(listener_, reinterpret_cast<sockaddr *>(&at), sizeof at));
        ASSERT_EQ(0, listen(listener_, SOMAXCONN));
        int length = sizeof address_;
        ASSERT_EQ(0, getsockname(listener_, reinterpret_cast<sockaddr *>(&address_), &length));
        EXPECT_NE(0, address_.sin_port);
    }
    void TearDown() override {
        closesocket(listener_);
        WSACleanup();
    }
    SOCKET listener_ = INVALID_SOCKET;
    sockaddr_in address_{};
};

TEST_F(Loopback, StreamBetweenClientAndListener) {
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&address_), sizeof address_));
    BOOL on = TRUE;
    EXPECT_EQ(
        0, setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&on), sizeof on));
    tcp_keepalive values{1, 300000, 1000};
    DWORD returned = 0;
    EXPECT_EQ(0, WSAIoctl(client, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                          nullptr, nullptr));
    int keepalive = 0, length = sizeof keepalive;
    EXPECT_EQ(0, getsockopt(client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&keepalive),
                            &length));
    EXPECT_EQ(1, keepalive);

    sockaddr_in from{};
    int from_length = sizeof from;
    SOCKET server = accept(listener_, reinterpret_cast<sockaddr *>(&from), &from_length);
    ASSERT_NE(INVALID_SOCKET, server);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), from.sin_addr.s_addr);

    WSAPOLLFD idle{server, POLLRDNORM, 0};
    EXPECT_EQ(0, WSAPoll(&idle, 1, 0));
    EXPECT_EQ(5, send(client, "hello", 5, 0));
    WSAPOLLFD ready{server, POLLRDNORM, 0};
    EXPECT_EQ(1, WSAPoll(&ready, 1, 1000));
    EXPECT_TRUE(ready.revents & POLLRDNORM);
    char buffer[8] = {};
    EXPECT_EQ(5, recv(server, buffer, sizeof buffer, 0));
    EXPECT_STREQ("hello", buffer);

    // A non-blocking socket with nothing to read says so; a closed peer reads as the end.
    ULONG nonblocking = 1;
    ASSERT_EQ(0, ioctlsocket(server, FIONBIO, &nonblocking));
    EXPECT_EQ(SOCKET_ERROR, recv(server, buffer, sizeof buffer, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, WSAGetLastError());
    EXPECT_EQ(0, closesocket(client));
    WSAPOLLFD closed{server, POLLRDNORM, 0};
    EXPECT_EQ(1, WSAPoll(&closed, 1, 1000));
    EXPECT_EQ(0, recv(server, buffer, sizeof buffer, 0));
    EXPECT_EQ(0, closesocket(server));
}

TEST_F(Loopback, WinsockErrorNumbers) {
    sockaddr_in nowhere = address_;
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
    SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(SOCKET_ERROR,
              connect(client, reinterpret_cast<sockaddr *>(&nowhere), sizeof nowhere));
    EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
    int value = 0, length = sizeof value;
    EXPECT_EQ(SOCKET_ERROR,
              getsockopt(client, SOL_SOCKET, 0x7777, reinterpret_cast<char *>(&value), &length));
    EXPECT_EQ(WSAENOPROTOOPT, WSAGetLastError());
    closesocket(client);
    EXPECT_EQ(SOCKET_ERROR, send(client, "x", 1, 0));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(INVALID_SOCKET, socket(AF_IPX, SOCK_STREAM, NSPROTO_SPX));
    // Windows without IPX refuses the family; Wine refuses the protocol.
    int no_ipx = WSAGetLastError();
    EXPECT_TRUE(no_ipx == WSAEAFNOSUPPORT || no_ipx == WSAEPROTONOSUPPORT) << no_ipx;
    EXPECT_EQ(nullptr, gethostbyname("no-such-host.invalid"));
    EXPECT_EQ(WSAHOST_NOT_FOUND, WSAGetLastError());
}

} // namespace
