// A Connection in memory, for tests and the fuzz target: it records what is sent and hands out
// queued chunks of the peer's bytes one receive at a time. A receive with nothing queued waits
// out its deadline on the process clock (a virtual clock jumps there) and reports nothing; with
// no deadline, or once the peer has hung up and the queue is empty, the connection is closed, so
// nothing ever waits forever.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/clock.h"
#include "platform/network/rfc2217_connection.h"

namespace platform {

class MemoryConnection final : public Connection {
public:
    std::vector<std::uint8_t> sent;                  // every byte sent, in order
    std::deque<std::vector<std::uint8_t>> incoming;  // the peer's bytes, one chunk per receive
    bool hungUp = false;                             // the peer closes once `incoming` is empty
    bool refusesSends = false;                       // the peer has stopped reading
    std::uint64_t roundTripNs = 0;                   // the round trip the port last measured

    void setRoundTrip(std::uint64_t ns) override { roundTripNs = ns; }

    bool send(const std::uint8_t* data, std::size_t count) override {
        if (refusesSends || closed_) return false;
        sent.insert(sent.end(), data, data + count);
        return true;
    }

    Received receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                     std::optional<std::uint64_t> deadlineNs) override {
        got = 0;
        while (!incoming.empty() && incoming.front().empty()) incoming.pop_front();
        if (!incoming.empty()) {
            std::vector<std::uint8_t>& chunk = incoming.front();
            got = std::min(capacity, chunk.size());
            std::copy(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got), buffer);
            chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
            return Received::Bytes;
        }
        if (hungUp || !deadlineNs) {
            closed_ = true;
            return Received::Closed;
        }
        processClock().sleepUntilNs(*deadlineNs);
        return Received::Nothing;
    }

private:
    bool closed_ = false;
};

}  // namespace platform
