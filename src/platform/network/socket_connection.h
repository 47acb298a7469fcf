// The TCP connection under rfc2217:// ports, as every system has it: the send and receive loops
// with their time-outs live here once; socket_posix.cpp and socket_windows.cpp supply the three
// non-blocking steps of their socket API, and the system calls with which socket_connect.h makes
// connectTcp.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/network/rfc2217_connection.h"

struct addrinfo;

namespace platform {

// Happy Eyeballs: after this long without an answer from one address the next one is tried too,
// the earlier attempts going on beside it; the first to connect is used.
constexpr std::uint64_t kNextAttemptNs = 250 * kNsPerMs;

// Connects to one of the addresses of a looked-up name (a getaddrinfo list) before `deadlineNs`
// on the process clock: the families taken in turn, starting with the first address's, an attempt
// started every kNextAttemptNs or as soon as the one before has failed, the first connection to
// come up used and the others dropped. nullptr when none comes up in time. Each system's socket
// file has its own.
std::unique_ptr<Connection> connectAny(const ::addrinfo* list, std::uint64_t deadlineNs);

// The order in which connectAny tries the addresses: the families in turn, starting with the
// first's, each family in the order given.
template <typename Address, typename FamilyOf>
std::vector<const Address*> interleaveFamilies(const Address* list, FamilyOf familyOf) {
    std::vector<const Address*> first, other, order;
    for (const Address* a = list; a != nullptr; a = a->ai_next)
        (familyOf(*a) == familyOf(*list) ? first : other).push_back(a);
    for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) order.push_back(first[i]);
        if (i < other.size()) order.push_back(other[i]);
    }
    return order;
}

// Runs `work` (a lookup that may take as long as the system likes) on a thread of its own and
// waits for its result until `deadlineNs` on the process clock; none when the deadline came
// first. The thread then ends by itself and hands its late result to `discard`.
template <typename Result, typename Work, typename Discard>
std::optional<Result> withinDeadline(Work work, Discard discard, std::uint64_t deadlineNs) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<Result> result;
        bool abandoned = false;
    };
    auto shared = std::make_shared<Shared>();
    try {
        std::thread([shared, work, discard]() mutable {
            Result result = work();
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->abandoned) {
                discard(result);
                return;
            }
            shared->result = result;
            shared->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return std::nullopt;  // no thread to be had: the name is not looked up
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        if (shared->result) return shared->result;
        const std::uint64_t now = processClock().nowNs();
        if (now >= deadlineNs) break;
        shared->done.wait_for(lock, std::chrono::nanoseconds(deadlineNs - now));
    }
    shared->abandoned = true;
    return std::nullopt;
}

// How a non-blocking step on a socket went: done, to be tried again (nothing could move now, or
// a wait's deadline passed), or failed for good.
enum class SocketStep { Done, Again, Failed };

class SocketConnection : public Connection {
public:
    bool send(const std::uint8_t* data, std::size_t count) final;
    Received receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                     std::optional<std::uint64_t> deadlineNs) final;
    void setRoundTrip(std::uint64_t ns) final { roundTripNs_ = ns; }

protected:
    // Ends the connection gently, for the destructor of a system's connection before it closes
    // the socket: says no more will be sent and takes in what the peer still sends until it
    // closes too (at most kCloseTimeoutMs and the round trip). Closing a socket with unread bytes
    // in it resets the connection, and a reset may drop the last requests still on their way (a
    // line change that releases the target's reset, say).
    void finish();
    // No more sends: the peer gets the end of the stream after what was sent.
    virtual void shutdownSending() = 0;
    // Sends what the system takes now of `count` bytes (Done with `sent` above 0).
    virtual SocketStep sendSome(const std::uint8_t* data, std::size_t count, std::size_t& sent) = 0;
    // Takes what has arrived (Done with `got` above 0); Failed when the peer closed or reset.
    virtual SocketStep receiveSome(std::uint8_t* buffer, std::size_t capacity,
                                   std::size_t& got) = 0;
    // Waits until the socket can be written (`write`) or read, or has an error to report (Done),
    // or the deadline on the process clock passes (Again; none: no limit).
    virtual SocketStep wait(bool write, std::optional<std::uint64_t> deadlineNs) = 0;

private:
    bool broken_ = false;
    std::uint64_t roundTripNs_ = 0;
};

}  // namespace platform
