// rfc2217:// ports over real loopback TCP: a peer in the test records the bytes it gets, sends
// its own, and hangs up; names that cannot be opened fail quickly, as a missing local port does.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/kernel32.h"
#include "platform/network/socket_connection.h"
#include "platform/network/telnet_stream.h"

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
                           0,    kIac,  kSe,   // the request for the server's signature
                           kIac, kDo,   6};    // the round-trip probe (TIMING-MARK)
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

        // The adapter is pulled: the read fails at once, whatever its time-out, and so does a
        // write.
        ::close(peer);
        t = {0, 0, 200, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
        const auto pulled = std::chrono::steady_clock::now();
        EXPECT_FALSE(ReadFile(h, in, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - pulled, std::chrono::milliseconds(100));
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

namespace {

// The addresses of a name that resolves to `first`, then `second` (numeric, on `port`), as the
// system's lookup lists them.
struct TwoAddresses {
    addrinfo* a = nullptr;
    addrinfo* b = nullptr;
    TwoAddresses(const char* first, const char* second, int port) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        const std::string service = std::to_string(port);
        if (::getaddrinfo(first, service.c_str(), &hints, &a) != 0) a = nullptr;
        if (::getaddrinfo(second, service.c_str(), &hints, &b) != 0) b = nullptr;
        if (a && b) a->ai_next = b;
    }
    ~TwoAddresses() {
        if (a) a->ai_next = nullptr;
        if (a) ::freeaddrinfo(a);
        if (b) ::freeaddrinfo(b);
    }
};

}  // namespace

// A name whose first address does not serve: the second is tried beside it (after 250 ms when
// the first says nothing, at once when it refuses) and used, well within the connect limit.
TEST(NetworkPortSocket, EveryAddressOfANameIsTried) {
    struct Case {
        const char* name;
        bool firstDrops;  // a full listener on ::1 drops the attempt; otherwise nothing listens
    };
    for (const Case c : {Case{"first drops", true}, Case{"first refuses", false}}) {
        SCOPED_TRACE(c.name);
        int port = 0;
        const int server = listenOn(AF_INET, port);
        ASSERT_GE(server, 0);
        // ::1 on the same port: a listener whose queue is full (its one place taken), so that
        // the kernel drops further connection attempts, or nothing at all.
        int full = -1, filler = -1;
        if (c.firstDrops) {
            full = ::socket(AF_INET6, SOCK_STREAM, 0);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_loopback;
            address.sin6_port = htons(static_cast<std::uint16_t>(port));
            if (full < 0 || ::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
                ::listen(full, 0) != 0) {
                ::close(server);
                GTEST_SKIP() << "no IPv6 loopback here";
            }
            filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        }
        TwoAddresses name("::1", "127.0.0.1", port);
        ASSERT_TRUE(name.a && name.b);
        const auto start = std::chrono::steady_clock::now();
        auto connection = platform::connectAny(
            name.a, platform::processClock().nowNs() + 5000 * platform::kNsPerMs);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_NE(connection, nullptr);
        EXPECT_LT(took, std::chrono::milliseconds(1000));
        connection.reset();
        for (int fd : {server, full, filler})
            if (fd >= 0) ::close(fd);
    }
}

// A lookup that takes longer than the limit gives up at the limit, not when the lookup ends.
TEST(NetworkPortSocket, ALookupEndsAtTheLimit) {
    std::atomic<int> discarded{0};
    const auto start = std::chrono::steady_clock::now();
    const auto result = platform::withinDeadline<int>(
        [] {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            return 7;
        },
        [&discarded](int) { ++discarded; },
        platform::processClock().nowNs() + 100 * platform::kNsPerMs);
    EXPECT_FALSE(result.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(discarded, 1);  // the late result was handed over, not leaked
    EXPECT_EQ(
        platform::withinDeadline<int>([] { return 7; }, [](int) {},
                                      platform::processClock().nowNs() + 1000 * platform::kNsPerMs),
        7);
}
