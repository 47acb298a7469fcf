#include "platform/network/socket_connection.h"

#include "platform/clock.h"

namespace platform {

bool SocketConnection::send(const std::uint8_t* data, std::size_t count) {
    if (broken_) return false;
    const std::uint64_t deadline =
        processClock().nowNs() + std::uint64_t{kSendTimeoutMs} * kNsPerMs;
    std::size_t sent = 0;
    while (sent < count) {
        std::size_t n = 0;
        const SocketStep step = sendSome(data + sent, count - sent, n);
        if (step == SocketStep::Done) {
            sent += n;
            continue;
        }
        if (step == SocketStep::Again && wait(true, deadline) == SocketStep::Done) continue;
        // Refused, reset, or not taken in time: part of a command may be out, so nothing sent
        // later could be understood.
        broken_ = true;
        return false;
    }
    return true;
}

Connection::Received SocketConnection::receive(std::uint8_t* buffer, std::size_t capacity,
                                               std::size_t& got,
                                               std::optional<std::uint64_t> deadlineNs) {
    got = 0;
    if (broken_) return Received::Closed;
    for (;;) {
        const SocketStep step = receiveSome(buffer, capacity, got);
        if (step == SocketStep::Done) return Received::Bytes;
        if (step == SocketStep::Failed) break;
        const SocketStep waited = wait(false, deadlineNs);
        if (waited == SocketStep::Again) return Received::Nothing;
        if (waited == SocketStep::Failed) break;
    }
    broken_ = true;
    return Received::Closed;
}

void SocketConnection::finish() {
    if (broken_) return;
    shutdownSending();
    const std::uint64_t deadline =
        processClock().nowNs() + std::uint64_t{kCloseTimeoutMs} * kNsPerMs + roundTripNs_;
    std::uint8_t discard[1024];
    std::size_t got = 0;
    while (processClock().nowNs() < deadline &&
           receive(discard, sizeof discard, got, deadline) == Received::Bytes) {}
}

}  // namespace platform
