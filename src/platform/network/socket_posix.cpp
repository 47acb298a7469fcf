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
#include <vector>

#include "platform/clock.h"
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
int startConnect(const addrinfo& a, bool& connected) {
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

}  // namespace

std::unique_ptr<Connection> connectAny(const addrinfo* list, std::uint64_t deadlineNs) {
    if (list == nullptr) return nullptr;
    const std::vector<const addrinfo*> order =
        interleaveFamilies(list, [](const addrinfo& a) { return a.ai_family; });
    std::vector<pollfd> attempts;
    std::size_t next = 0;
    std::uint64_t nextStartNs = 0;
    int winner = -1;
    int lastError = ETIMEDOUT;  // what the caller hears when no address answers in time
    while (winner < 0) {
        const std::uint64_t now = processClock().nowNs();
        if (now >= deadlineNs) break;
        if (next < order.size() && (now >= nextStartNs || attempts.empty())) {
            bool connected = false;
            const int fd = startConnect(*order[next++], connected);
            if (fd < 0) lastError = errno;
            if (connected) {
                winner = fd;
                break;
            }
            // One that failed at once makes way for the next at once.
            nextStartNs = fd < 0 ? now : now + kNextAttemptNs;
            if (fd >= 0) attempts.push_back({fd, POLLOUT, 0});
            continue;
        }
        if (attempts.empty()) break;  // every address failed
        const std::uint64_t until =
            next < order.size() && nextStartNs < deadlineNs ? nextStartNs : deadlineNs;
        int ready;
        do {
            ready = ::poll(attempts.data(), attempts.size(), msUntil(until));
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) break;
        for (std::size_t i = 0; i < attempts.size();) {
            if (attempts[i].revents == 0) {
                ++i;
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(attempts[i].fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0 && winner < 0) {
                winner = attempts[i].fd;
            } else {
                if (error != 0) lastError = error;
                ::close(attempts[i].fd);
                nextStartNs = processClock().nowNs();  // a refusal: the next address at once
            }
            attempts.erase(attempts.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const pollfd& p : attempts) ::close(p.fd);
    if (winner < 0) {
        errno = lastError;
        return nullptr;
    }
    return useSocket(winner);
}

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs) {
    const std::uint64_t deadline = processClock().nowNs() + std::uint64_t(timeoutMs) * kNsPerMs;
    // The lookup counts against the same limit: a name server that does not answer cannot hold
    // the open for longer than an unreachable address would.
    struct Lookup {
        addrinfo* list;
        int error;
    };
    const auto lookup = withinDeadline<Lookup>(
        [host, port]() -> Lookup {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* found = nullptr;
            const int failed = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
            return {failed == 0 ? found : nullptr, failed};
        },
        [](Lookup late) {
            if (late.list) ::freeaddrinfo(late.list);
        },
        deadline);
    if (!lookup) {
        setOpenFailure(connectFailureText(host, port, ConnectFailure::Unresolved,
                                          "the name lookup did not end within the time limit"));
        return nullptr;
    }
    if (lookup->list == nullptr) {
        setOpenFailure(connectFailureText(host, port, ConnectFailure::Unresolved,
                                          ::gai_strerror(lookup->error)));
        return nullptr;
    }
    std::unique_ptr<Connection> connection = connectAny(lookup->list, deadline);
    const int error = errno;
    ::freeaddrinfo(lookup->list);
    if (!connection) {
        const ConnectFailure kind = error == ECONNREFUSED ? ConnectFailure::Refused
                                    : error == ETIMEDOUT  ? ConnectFailure::NoAnswer
                                                          : ConnectFailure::Other;
        setOpenFailure(connectFailureText(host, port, kind, std::strerror(error)));
    }
    return connection;
}

}  // namespace platform
