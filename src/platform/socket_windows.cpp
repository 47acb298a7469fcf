// TCP connections on Windows for rfc2217:// ports (Winsock 2): a non-blocking socket, connected
// with a time-out, waited on with select (the loops around these steps are
// socket_connection.cpp's).
//
// <winsock2.h> must come before <windows.h>; windows_api.h keeps <windows.h> lean, which leaves
// the old Winsock 1 declarations out.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/clock.h"
#include "platform/open_failure.h"
#include "platform/socket_connection.h"

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

SOCKET connectOne(const addrinfo& a, std::uint64_t deadlineNs) {
    SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) return s;
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0) {
        int error = 0;
        int length = sizeof error;
        if (::WSAGetLastError() != WSAEWOULDBLOCK ||
            waitFor(s, true, deadlineNs) != SocketStep::Done ||
            ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0) {
            ::closesocket(s);
            ::WSASetLastError(error != 0 ? error : WSAETIMEDOUT);
            return INVALID_SOCKET;
        }
    }
    BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Telnet's urgent data (IAC DM) stays in the stream, where the decoder takes it as a command.
    ::setsockopt(s, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

}  // namespace

std::unique_ptr<Connection> connectTcp(const std::string& host, const std::string& port,
                                       int timeoutMs) {
    if (!winsockStarted()) return nullptr;
    const std::uint64_t deadline = processClock().nowNs() + std::uint64_t(timeoutMs) * kNsPerMs;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (const int failed = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list); failed != 0) {
        setOpenFailure(
            connectFailureText(host, port, ConnectFailure::Unresolved, systemText(failed)));
        return nullptr;
    }
    SOCKET s = INVALID_SOCKET;
    int error = WSAETIMEDOUT;
    for (addrinfo* a = list; a && s == INVALID_SOCKET && processClock().nowNs() < deadline;
         a = a->ai_next) {
        s = connectOne(*a, deadline);
        if (s == INVALID_SOCKET) error = ::WSAGetLastError();
    }
    if (s == INVALID_SOCKET) {
        const ConnectFailure kind = error == WSAECONNREFUSED ? ConnectFailure::Refused
                                    : error == WSAETIMEDOUT  ? ConnectFailure::NoAnswer
                                                             : ConnectFailure::Other;
        setOpenFailure(connectFailureText(host, port, kind, systemText(error)));
    }
    ::freeaddrinfo(list);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<WindowsSocket>(s);
}

}  // namespace platform
