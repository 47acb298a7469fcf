// TCP connections on Windows for rfc2217:// ports (Winsock 2): a non-blocking socket, connected
// with a time-out, waited on with select (the loops around these steps are
// socket_connection.cpp's).
//
// <winsock2.h> must come before <windows.h>; windows_api.h keeps <windows.h> lean, which leaves
// the old Winsock 1 declarations out.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/network/socket_connect.h"
#include "platform/network/socket_connection.h"
#include "platform/open_failure.h"

namespace platform {
namespace {

// Winsock is started once for the process and left running until it ends.
bool winsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// A time-out for select until `deadlineNs` on the process clock; nullptr: no limit.
timeval* timeUntil(std::optional<std::uint64_t> deadlineNs, timeval& tv) {
    if (!deadlineNs) return nullptr;
    const std::uint64_t now = processClock().nowNs();
    std::uint64_t us = now >= *deadlineNs ? 0 : (*deadlineNs - now + 999) / 1000;
    if (us > 0x7FFFFFFFull * 1000000) us = 0x7FFFFFFFull * 1000000;
    tv.tv_sec = static_cast<long>(us / 1000000);
    tv.tv_usec = static_cast<long>(us % 1000000);
    return &tv;
}

// Waits for the socket to become writable (`write`) or readable, or to report an error (Windows
// reports a refused connection in the exception set).
SocketStep waitFor(SOCKET s, bool write, std::optional<std::uint64_t> deadlineNs) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    timeval tv;
    int n = ::select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed,
                     timeUntil(deadlineNs, tv));
    return n < 0 ? SocketStep::Failed : n == 0 ? SocketStep::Again : SocketStep::Done;
}

// Windows' own text for an error number, without its line end.
std::string systemText(int code) {
    char text[256] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string out(text, length);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

// Winsock takes an int count: at most this much per call.
int clamp(std::size_t count) { return count > 0x10000 ? 0x10000 : static_cast<int>(count); }

SocketStep stepOf(int n, std::size_t& moved) {
    moved = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (n > 0) return SocketStep::Done;
    return n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK ? SocketStep::Again
                                                                      : SocketStep::Failed;
}

class WindowsSocket final : public SocketConnection {
public:
    explicit WindowsSocket(SOCKET s) : s_(s) {}
    ~WindowsSocket() override {
        finish();
        ::closesocket(s_);
    }

private:
    void shutdownSending() override { ::shutdown(s_, SD_SEND); }
    SocketStep sendSome(const std::uint8_t* data, std::size_t count, std::size_t& sent) override {
        return stepOf(::send(s_, reinterpret_cast<const char*>(data), clamp(count), 0), sent);
    }
    SocketStep receiveSome(std::uint8_t* buffer, std::size_t capacity, std::size_t& got) override {
        return stepOf(::recv(s_, reinterpret_cast<char*>(buffer), clamp(capacity), 0), got);
    }
    SocketStep wait(bool write, std::optional<std::uint64_t> deadlineNs) override {
        return waitFor(s_, write, deadlineNs);
    }

    SOCKET s_;
};

// Starts connecting a non-blocking socket to one address: the socket (connected already, or on
// its way), or INVALID_SOCKET when the attempt failed at once.
SOCKET startAttempt(const addrinfo& a, bool& connected) {
    SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) return s;
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    connected = ::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == 0;
    if (!connected && ::WSAGetLastError() != WSAEWOULDBLOCK) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A connected socket made ready for use.
std::unique_ptr<Connection> useSocket(SOCKET s) {
    BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Telnet's urgent data (IAC DM) stays in the stream, where the decoder takes it as a command.
    ::setsockopt(s, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
    return std::make_unique<WindowsSocket>(s);
}

// The system calls socket_connect.h's connection tail makes.
struct WinsockCalls {
    using Handle = SOCKET;
    static constexpr Handle kNone = INVALID_SOCKET;
    static constexpr int kRefused = WSAECONNREFUSED;
    static constexpr int kTimedOut = WSAETIMEDOUT;

    static bool ready() { return winsockStarted(); }
    static addrinfo lookupHints() {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV;
        return hints;
    }
    static std::string lookupErrorText(int code) { return systemText(code); }
    static Handle startConnect(const addrinfo& a, bool& connected) {
        return startAttempt(a, connected);
    }
    // Windows reports a refused connection in the exception set.
    static bool waitAttempts(const std::vector<Handle>& attempts, std::uint64_t untilNs,
                             std::vector<Attempt>& outcomes) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (SOCKET s : attempts) {
            FD_SET(s, &writable);
            FD_SET(s, &failed);
        }
        timeval tv;
        if (::select(0, nullptr, &writable, &failed, timeUntil(untilNs, tv)) < 0) return false;
        outcomes.assign(attempts.size(), Attempt{});
        for (std::size_t i = 0; i < attempts.size(); ++i) {
            const SOCKET s = attempts[i];
            if (!FD_ISSET(s, &writable) && !FD_ISSET(s, &failed)) continue;
            int error = 0;
            int length = sizeof error;
            if (FD_ISSET(s, &writable) &&
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) ==
                    0 &&
                error == 0) {
                outcomes[i] = {Attempt::State::Connected, 0};
            } else {
                outcomes[i] = {Attempt::State::Failed, error != 0 ? error : WSAECONNREFUSED};
            }
        }
        return true;
    }
    static void close(Handle s) { ::closesocket(s); }
    static std::unique_ptr<Connection> use(Handle s) { return useSocket(s); }
    static int lastError() { return ::WSAGetLastError(); }
    static void setLastError(int code) { ::WSASetLastError(code); }
    static std::string errorText(int code) { return systemText(code); }
};

}  // namespace

std::unique_ptr<Connection> connectAny(const addrinfo* list, std::uint64_t deadlineNs) {
    return connectAnyWith<WinsockCalls>(list, deadlineNs);
}

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs) {
    return connectTcpWith<WinsockCalls, addrinfo>(host, port, timeoutMs);
}

}  // namespace platform
