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
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/network/socket_connect.h"
#include "platform/network/socket_connection.h"
#include "platform/open_failure.h"

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
    std::intptr_t waitDescriptor() const override { return fd_; }

    int fd_;
};

// Starts connecting a non-blocking socket to one address: the socket (connected already, or on
// its way), or -1 when the attempt failed at once.
int startAttempt(const addrinfo& a, bool& connected) {
    int fd = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (fd < 0) return -1;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        return -1;
    }
    connected = ::connect(fd, a.ai_addr, a.ai_addrlen) == 0;
    if (!connected && errno != EINPROGRESS && errno != EINTR) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A connected socket made ready for use.
std::unique_ptr<Connection> useSocket(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Telnet's urgent data (IAC DM) stays in the stream, where the decoder takes it as a command.
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return std::make_unique<PosixSocket>(fd);
}

// The system calls socket_connect.h's connection tail makes.
struct PosixCalls {
    using Handle = int;
    static constexpr Handle kNone = -1;
    static constexpr int kRefused = ECONNREFUSED;
    static constexpr int kTimedOut = ETIMEDOUT;

    static bool ready() { return true; }
    static addrinfo lookupHints() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        return hints;
    }
    static std::string lookupErrorText(int code) { return ::gai_strerror(code); }
    static Handle startConnect(const addrinfo& a, bool& connected) {
        return startAttempt(a, connected);
    }
    static bool waitAttempts(const std::vector<Handle>& attempts, std::uint64_t untilNs,
                             std::vector<Attempt>& outcomes) {
        std::vector<pollfd> set;
        for (Handle fd : attempts) set.push_back({fd, POLLOUT, 0});
        int ready;
        do {
            ready = ::poll(set.data(), set.size(), msUntil(untilNs));
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) return false;
        outcomes.assign(attempts.size(), Attempt{});
        for (std::size_t i = 0; i < set.size(); ++i) {
            if (set[i].revents == 0) continue;
            int error = 0;
            socklen_t length = sizeof error;
            const bool asked = ::getsockopt(set[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0;
            outcomes[i] = {asked && error == 0 ? Attempt::State::Connected : Attempt::State::Failed,
                           error};
        }
        return true;
    }
    static void close(Handle fd) { ::close(fd); }
    static std::unique_ptr<Connection> use(Handle fd) { return useSocket(fd); }
    static int lastError() { return errno; }
    static void setLastError(int code) { errno = code; }
    static std::string errorText(int code) { return std::strerror(code); }
};

}  // namespace

std::unique_ptr<Connection> connectAny(const addrinfo* list, std::uint64_t deadlineNs) {
    return connectAnyWith<PosixCalls>(list, deadlineNs);
}

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs) {
    return connectTcpWith<PosixCalls, addrinfo>(host, port, timeoutMs);
}

}  // namespace platform
