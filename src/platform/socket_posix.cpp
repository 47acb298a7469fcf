// TCP connections on Linux/macOS for rfc2217:// ports: a non-blocking socket, connected with a
// time-out, waited on with poll (the loops around these steps are socket_connection.cpp's).
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/open_failure.h"
#include "platform/socket_connection.h"

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

// Waits for the socket to become writable (`write`) or readable, or to report an error.
SocketStep waitFor(int fd, bool write, std::optional<std::uint64_t> deadlineNs) {
    pollfd p{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int ready;
    do {
        ready = ::poll(&p, 1, msUntil(deadlineNs));
    } while (ready < 0 && errno == EINTR);
    return ready < 0 ? SocketStep::Failed : ready == 0 ? SocketStep::Again : SocketStep::Done;
}

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

class PosixSocket final : public SocketConnection {
public:
    explicit PosixSocket(int fd) : fd_(fd) {}
    ~PosixSocket() override {
        finish();
        ::close(fd_);
    }

private:
    void shutdownSending() override { ::shutdown(fd_, SHUT_WR); }
    SocketStep sendSome(const std::uint8_t* data, std::size_t count, std::size_t& sent) override {
        const ssize_t n = ::send(fd_, data, count, kSendFlags);
        sent = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n > 0                   ? SocketStep::Done
               : n < 0 && wouldBlock() ? SocketStep::Again
                                       : SocketStep::Failed;
    }
    SocketStep receiveSome(std::uint8_t* buffer, std::size_t capacity, std::size_t& got) override {
        const ssize_t n = ::recv(fd_, buffer, capacity, 0);
        got = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n > 0                   ? SocketStep::Done
               : n < 0 && wouldBlock() ? SocketStep::Again
                                       : SocketStep::Failed;
    }
    SocketStep wait(bool write, std::optional<std::uint64_t> deadlineNs) override {
        return waitFor(fd_, write, deadlineNs);
    }

    int fd_;
};

// Connects a non-blocking socket to one address, waiting until `deadlineNs` at most.
int connectOne(const addrinfo& a, std::uint64_t deadlineNs) {
    int fd = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (fd < 0) return -1;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            ::close(fd);
            return -1;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (waitFor(fd, true, deadlineNs) != SocketStep::Done ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            errno = error != 0 ? error : ETIMEDOUT;
            return -1;
        }
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Telnet's urgent data (IAC DM) stays in the stream, where the decoder takes it as a command.
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

}  // namespace

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs) {
    const std::uint64_t deadline = processClock().nowNs() + std::uint64_t(timeoutMs) * kNsPerMs;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (const int failed = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list); failed != 0) {
        setOpenFailure(
            connectFailureText(host, port, ConnectFailure::Unresolved, ::gai_strerror(failed)));
        return nullptr;
    }
    int fd = -1;
    int error = ETIMEDOUT;
    for (addrinfo* a = list; a && fd < 0 && processClock().nowNs() < deadline; a = a->ai_next) {
        fd = connectOne(*a, deadline);
        if (fd < 0) error = errno;
    }
    ::freeaddrinfo(list);
    if (fd < 0) {
        const ConnectFailure kind = error == ECONNREFUSED ? ConnectFailure::Refused
                                    : error == ETIMEDOUT  ? ConnectFailure::NoAnswer
                                                          : ConnectFailure::Other;
        setOpenFailure(connectFailureText(host, port, kind, std::strerror(error)));
        return nullptr;
    }
    return std::make_unique<PosixSocket>(fd);
}

}  // namespace platform
