// A TCP proxy on loopback that makes a connection long: every chunk it forwards is held back for
// half the round trip it is given, each way, as a link to another continent would. It serves one
// connection, holds at most kMostHeld bytes each way (beyond that it stops reading that side, as a
// full link does), and ends by itself when that connection has ended, after its lifetime, or when
// the object goes. Header only, POSIX only; for the tests and the benchmark.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "platform/network/tcp_listener.h"

namespace delayproxy {

class DelayProxy {
public:
    static constexpr std::size_t kMostHeld = 1 << 20;

    // Forwards a connection on port() to the loopback `upstreamPort`, `roundTripMs` longer.
    DelayProxy(int upstreamPort, int roundTripMs, int lifetimeSeconds = 300)
        : upstreamPort_(upstreamPort), halfNs_(std::int64_t{roundTripMs} * 500000) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        endAt_ = now() + std::int64_t{lifetimeSeconds} * 1000000000;
        thread_ = std::thread([this] { run(); });
    }
    ~DelayProxy() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int fd : {listener_, sides_[0].fd, sides_[1].fd})
            if (fd >= 0) ::close(fd);
    }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // The port to connect to; 0 when the proxy could not start.
    int port() const { return port_; }

    // Breaks the connection once `bytes` of the server's have reached the client: both sides
    // are closed then, as when a link goes down. Call before the client connects.
    void cutAfterServerBytes(std::size_t bytes) { cutAfter_ = bytes; }
    // Whether the connection was cut, and when (steady clock).
    bool cut() const { return cutAtNs_ != 0; }
    std::chrono::steady_clock::time_point cutAt() const {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(cutAtNs_.load()));
    }

private:
    struct Chunk {
        std::int64_t arrivedNs;
        std::vector<std::uint8_t> bytes;
    };
    // One end of the connection and what waits to be written to it.
    struct Side {
        int fd = -1;
        std::deque<Chunk> toWrite;
        std::size_t held = 0;
        bool readEnded = false;   // it sent its end of stream
        bool writeEnded = false;  // it was given the end of the other's stream
    };

    // When the next chunk for `s` goes on: half the round trip after it came. (A late wake-up of
    // this thread can still shorten a pause between two chunks by its lateness; a model whose
    // timing is checked behind the proxy wants some room for that.)
    std::int64_t dueNs(const Side& s) const { return s.toWrite.front().arrivedNs + halfNs_; }

    static std::int64_t now() {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    static sockaddr_in loopback(int port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        return a;
    }

    void run() {
        pollfd p{listener_, POLLIN, 0};
        while (!stop_ && now() < endAt_ && ::poll(&p, 1, 10) == 0) {}
        if (stop_ || now() >= endAt_) return;
        sides_[0].fd = ::accept(listener_, nullptr, nullptr);
        sides_[1].fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in up = loopback(upstreamPort_);
        if (sides_[0].fd < 0 || sides_[1].fd < 0 ||
            ::connect(sides_[1].fd, reinterpret_cast<const sockaddr*>(&up), sizeof up) != 0)
            return;
        const int on = 1;
        for (Side& s : sides_) {
            ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            platform::stampArrivals(s.fd);
        }
        while (!stop_ && now() < endAt_ && !(sides_[0].writeEnded && sides_[1].writeEnded)) {
            std::int64_t wait = 10000000;
            pollfd set[2];
            for (int i = 0; i < 2; ++i) {
                Side& from = sides_[i];
                Side& to = sides_[1 - i];
                const bool reads = !from.readEnded && to.held < kMostHeld;
                set[i] = {from.fd, static_cast<short>(reads ? POLLIN : 0), 0};
                if (!from.toWrite.empty())
                    wait = std::min(wait, std::max<std::int64_t>(0, dueNs(from) - now()));
            }
            const timespec timeout{static_cast<time_t>(wait / 1000000000),
                                   static_cast<long>(wait % 1000000000)};
            ::ppoll(set, 2, &timeout, nullptr);
            for (int i = 0; i < 2; ++i) {
                if (sides_[i].readEnded || !(set[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                std::uint8_t buffer[16384];
                std::int64_t arrivedNs = 0;
                const ssize_t n = receive(sides_[i].fd, buffer, sizeof buffer, arrivedNs);
                Side& to = sides_[1 - i];
                if (n > 0) {
                    to.toWrite.push_back({arrivedNs, {buffer, buffer + n}});
                    to.held += static_cast<std::size_t>(n);
                } else {
                    sides_[i].readEnded = true;
                    to.toWrite.push_back({now(), {}});  // its end, as late as its data
                }
            }
            for (Side& s : sides_) deliver(s);
            if (cutAtNs_ != 0) {
                const linger abort{1, 0};  // a reset, not a polite end
                for (Side& s : sides_) {
                    ::setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                    ::close(s.fd);
                    s.fd = -1;
                }
                return;
            }
        }
    }

    // Reads what has come, and when it came: the kernel's receive time, so that a late wake-up of
    // this thread does not move one chunk against the next (the timing of the line changes of an
    // entry sequence must cross as it was sent).
    static ssize_t receive(int fd, std::uint8_t* buffer, std::size_t size,
                           std::int64_t& arrivedNs) {
        std::int64_t ageNs = 0;
        const ssize_t n = platform::receiveWithAge(fd, buffer, size, ageNs);
        arrivedNs = now();
        if (ageNs > 0 && ageNs < 1000000000) arrivedNs -= ageNs;
        return n;
    }

    // Writes what is due to the side; an empty chunk is the end of the other's stream.
    void deliver(Side& s) {
        while (!s.toWrite.empty() && dueNs(s) <= now()) {
            Chunk& c = s.toWrite.front();
            if (c.bytes.empty()) {
                ::shutdown(s.fd, SHUT_WR);
                s.writeEnded = true;
            } else {
                std::size_t count = c.bytes.size();
                const bool toClient = &s == &sides_[0];
                if (toClient && cutAfter_ != 0) count = std::min(count, cutAfter_ - toClient_);
                const ssize_t n = ::send(s.fd, c.bytes.data(), count, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0 && toClient) toClient_ += static_cast<std::size_t>(n);
                if (n > 0 && toClient && cutAfter_ != 0 && toClient_ >= cutAfter_) {
                    cutAtNs_ = now();
                    return;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                    return;  // the peer's buffer is full: the rest later
                if (n <= 0) {
                    s.writeEnded = true;  // the peer is gone: what is left is lost
                    s.toWrite.clear();
                    s.held = 0;
                    return;
                }
                s.held -= static_cast<std::size_t>(n);
                if (static_cast<std::size_t>(n) < c.bytes.size()) {
                    c.bytes.erase(c.bytes.begin(), c.bytes.begin() + n);
                    return;
                }
            }
            s.toWrite.pop_front();
        }
    }

    int upstreamPort_;
    std::int64_t halfNs_;
    int listener_ = -1;
    int port_ = 0;
    std::int64_t endAt_ = 0;
    Side sides_[2];  // the client's end, the server's
    std::size_t cutAfter_ = 0;
    std::size_t toClient_ = 0;  // the server's bytes forwarded so far
    std::atomic<std::int64_t> cutAtNs_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace delayproxy
