// The byte pipe under an rfc2217:// port: a TCP connection in the program (socket_posix.cpp,
// socket_windows.cpp), an in-memory one in tests. Times are on the process clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class Connection {
public:
    virtual ~Connection() = default;

    // Sends all `count` bytes; false when the peer is gone or will not take them within a few
    // seconds (a peer that stopped reading), after which the connection is no longer usable.
    virtual bool send(const std::uint8_t* data, std::size_t count) = 0;

    enum class Received { Bytes, Nothing, Closed };
    // Takes what has arrived, up to `capacity` bytes, waiting for the first until `deadlineNs`
    // (none: as long as it takes). Nothing: the deadline passed with nothing in. Closed: the
    // peer closed the connection or it broke.
    virtual Received receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                             std::optional<std::uint64_t> deadlineNs) = 0;

    // The round trip to the peer as last measured (told at every measurement): the wait at close
    // for the peer to end the connection too grows by it.
    virtual void setRoundTrip(std::uint64_t ns) { (void)ns; }

    // A descriptor that becomes ready when something arrives (a socket on Linux/macOS), for a wait
    // on the port; -1 when there is none and the port has to be looked at now and then.
    virtual std::intptr_t waitDescriptor() const { return -1; }
};

// How long opening a connection may take, and the longest a send may wait for the peer.
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 5000;
// The longest wait at close for the peer to end the connection too, on top of the round trip.
constexpr int kCloseTimeoutMs = 1000;

// A TCP connection to `host` (a name, an IPv4 or an IPv6 address) on `port` (decimal), with
// Nagle's delay off so every send goes out at once; nullptr when the host is unknown, the
// connection is refused or it does not come up within `timeoutMs`.
std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs);

}  // namespace platform
