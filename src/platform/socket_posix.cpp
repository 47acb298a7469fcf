// TCP connections on Linux/macOS for rfc2217:// ports: a non-blocking socket, connected with a
// time-out, waited on with poll.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/rfc2217_connection.h"

namespace platform {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed peer fails the send instead of raising SIGPIPE
#else
constexpr int kSendFlags = 0;
#endif

// Milliseconds for poll until `deadlineNs` on the process clock (none: -1, no limit), rounded up.
int msUntil(std::optional<std::uint64_t> deadlineNs) {
    if (!deadlineNs) return -1;
    const std::uint64_t now = processClock().nowNs();
    if (now >= *deadlineNs) return 0;
    const std::uint64_t ms = (*deadlineNs - now + kNsPerMs - 1) / kNsPerMs;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

class SocketConnection final : public Connection {
public:
    explicit SocketConnection(int fd) : fd_(fd) {}
    ~SocketConnection() override { ::close(fd_); }

    bool send(const std::uint8_t* data, std::size_t count) override {
        if (broken_) return false;
        const std::uint64_t deadline = processClock().nowNs() + std::uint64_t{kSendTimeoutMs} * kNsPerMs;
        std::size_t sent = 0;
        while (sent < count) {
            ssize_t n = ::send(fd_, data + sent, count - sent, kSendFlags);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd_, POLLOUT, 0};
                int ready = ::poll(&p, 1, msUntil(deadline));
                if (ready < 0 && errno == EINTR) continue;
                if (ready > 0 && !(p.revents & (POLLERR | POLLNVAL))) continue;
            }
            // Refused, reset, or not taken in time: part of a command may be out, so nothing
            // sent later could be understood.
            broken_ = true;
            return false;
        }
        return true;
    }

    Received receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                     std::optional<std::uint64_t> deadlineNs) override {
        got = 0;
        if (broken_) return Received::Closed;
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, capacity, 0);
            if (n > 0) {
                got = static_cast<std::size_t>(n);
                return Received::Bytes;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                broken_ = true;
                return Received::Closed;
            }
            const int wait = msUntil(deadlineNs);
            if (wait == 0) return Received::Nothing;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, wait) == 0) return Received::Nothing;
        }
    }

private:
    int fd_;
    bool broken_ = false;
};

// Connects a non-blocking socket to one address, waiting until `deadlineNs` at most.
int connectOne(const addrinfo& a, std::uint64_t deadlineNs) {
    int fd = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (fd < 0) return -1;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            ::close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, msUntil(deadlineNs));
        } while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            return -1;
        }
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

}  // namespace

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port, int timeoutMs) {
    const std::uint64_t deadline = processClock().nowNs() + std::uint64_t(timeoutMs) * kNsPerMs;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0) return nullptr;
    int fd = -1;
    for (addrinfo* a = list; a && fd < 0 && processClock().nowNs() < deadline; a = a->ai_next)
        fd = connectOne(*a, deadline);
    ::freeaddrinfo(list);
    if (fd < 0) return nullptr;
    return std::make_unique<SocketConnection>(fd);
}

}  // namespace platform
