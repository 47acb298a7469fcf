// rfc2217:// ports over real loopback TCP: a peer in the test records the bytes it gets, sends
// its own, and hangs up; names that cannot be opened fail quickly, as a missing local port does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/kernel32.h"
#include "platform/telnet_stream.h"

using namespace k32;
using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A listening socket on a free loopback port (IPv4 or IPv6); -1 when the family is not there.
int listenOn(int family, int& port) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        length = sizeof *a;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return fd;
}

// Everything the peer receives within `ms` after the first byte (at most 1 s for that one).
Bytes receiveFor(int fd, int ms) {
    Bytes got;
    std::uint8_t buffer[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, got.empty() ? 1000 : ms) > 0) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

HANDLE open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

}  // namespace

TEST(NetworkPortSocket, ThroughALoopbackPeerUntilItHangsUp) {
    const Bytes opening = {kIac, kWill, kOptBinary,
                           kIac, kDo,   kOptBinary,
                           kIac, kWill, kOptSuppressGoAhead,
                           kIac, kDo,   kOptSuppressGoAhead,
                           kIac, kWill, kOptComPort,
                           kIac, kSb,   kOptComPort,
                           0,    kIac,  kSe};  // the request for the server's signature
    for (int family : {AF_INET, AF_INET6}) {
        int port = 0;
        const int listener = listenOn(family, port);
        if (listener < 0) {
            ASSERT_EQ(family, AF_INET6) << "no IPv4 loopback";
            continue;
        }
        const std::string host = family == AF_INET ? "127.0.0.1" : "[::1]";
        SCOPED_TRACE(host);
        HANDLE h = open("rfc2217://" + host + ":" + std::to_string(port));
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const int peer = ::accept(listener, nullptr, nullptr);
        ASSERT_GE(peer, 0);
        EXPECT_EQ(receiveFor(peer, 50), opening);

        // The entry sequence's line changes and a byte go out at once, none waiting for an answer.
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
        EXPECT_TRUE(EscapeCommFunction(h, CLRRTS));
        const std::uint8_t sync = 0xFF;
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, &sync, 1, &n, nullptr));
        EXPECT_EQ(n, 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        EXPECT_EQ(receiveFor(peer, 50), (Bytes{kIac, kSb, 44, 5, 8, kIac, kSe, kIac, kSb, 44, 5, 12,
                                               kIac, kSe, 0xFF, 0xFF}));

        // The peer's answer among its negotiation, in two pieces.
        const Bytes first = {kIac, kDo, kOptComPort, 0x90, kIac};
        const Bytes second = {kIac};
        COMMTIMEOUTS t{0, 0, 500, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        ASSERT_EQ(::send(peer, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
        std::uint8_t in[2] = {};
        EXPECT_TRUE(ReadFile(h, in, 1, &n, nullptr));
        ASSERT_EQ(::send(peer, second.data(), second.size(), 0),
                  static_cast<ssize_t>(second.size()));
        EXPECT_TRUE(ReadFile(h, in + 1, 1, &n, nullptr));
        EXPECT_EQ(in[0], 0x90);
        EXPECT_EQ(in[1], 0xFF);

        // The adapter is pulled: the read waits out its time-out and fails, and so does a write.
        ::close(peer);
        t = {0, 0, 200, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        const auto pulled = std::chrono::steady_clock::now();
        EXPECT_FALSE(ReadFile(h, in, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_GE(std::chrono::steady_clock::now() - pulled, std::chrono::milliseconds(200));
        EXPECT_FALSE(WriteFile(h, &sync, 1, &n, nullptr));
        EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
        EXPECT_TRUE(CloseHandle(h));
        ::close(listener);
    }
}

TEST(NetworkPortSocket, ClosingLetsTheLastRequestArrive) {
    int port = 0;
    const int listener = listenOn(AF_INET, port);
    ASSERT_GE(listener, 0);
    HANDLE h = open("rfc2217://127.0.0.1:" + std::to_string(port));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    receiveFor(peer, 50);
    // Answers the port never reads: closing with them unread must not reset the connection.
    const Bytes answers = {kIac, kSb, kOptComPort, 105, 8, kIac, kSe, 0x42};
    ASSERT_EQ(::send(peer, answers.data(), answers.size(), 0),
              static_cast<ssize_t>(answers.size()));
    EXPECT_TRUE(EscapeCommFunction(h, CLRRTS));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(CloseHandle(h));  // the peer does not close its side: the port waits a while
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    Bytes got;
    std::uint8_t buffer[64];
    ssize_t n;
    while ((n = ::recv(peer, buffer, sizeof buffer, 0)) > 0)
        got.insert(got.end(), buffer, buffer + n);
    EXPECT_EQ(got, (Bytes{kIac, kSb, 44, 5, 12, kIac, kSe}));
    EXPECT_EQ(n, 0) << "an end of stream, not a reset";
    ::close(peer);
    ::close(listener);
}

TEST(NetworkPortSocket, NamesThatCannotBeOpenedFailQuickly) {
    int port = 0;
    const int listener = listenOn(AF_INET, port);
    ASSERT_GE(listener, 0);
    ::close(listener);  // nobody listens there now: the connection is refused
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(port);
    const char* names[] = {
        "rfc2217://nonexistent.invalid:2217",
        "rfc2217://",
        "rfc2217://127.0.0.1",
        "rfc2217://127.0.0.1:",
        "rfc2217://:2217",
        "rfc2217://127.0.0.1:0",
        "rfc2217://127.0.0.1:65536",
        "rfc2217://127.0.0.1:22x",
        "rfc2217://127.0.0.1:2217/",
        "rfc2217://::1:2217",
        "rfc2217://[::1]2217",
        "rfc2217://[::1:2217",
        "rfc2217://user@127.0.0.1:2217",
        "rfc2217://127.0.0.1 :2217",
    };
    std::vector<std::string> all(std::begin(names), std::end(names));
    all.push_back(refused);
    for (const std::string& name : all) {
        SCOPED_TRACE(name);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(open(name), INVALID_HANDLE_VALUE);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}
