// How a TCP connection for an rfc2217:// port is made, the same on every system: the name looked
// up within the time limit, the addresses tried in turn and side by side (connectAny), and the
// reason the open failed put in words. Only the system calls differ: `System` (socket_posix.cpp's
// and socket_windows.cpp's) supplies them.
//
// A System has:
//   using Handle;  static constexpr Handle kNone;
//   static bool ready();                                 the socket API can be used
//   static addrinfo lookupHints();                       what getaddrinfo is asked
//   static std::string lookupErrorText(int code);        a failed lookup's reason
//   static Handle startConnect(const addrinfo&, bool& connected);
//   static bool waitAttempts(const std::vector<Handle>&, std::uint64_t untilNs,
//                            std::vector<Attempt>& outcomes);   false: the wait itself failed
//   static void close(Handle);
//   static std::unique_ptr<Connection> use(Handle);     a connected socket made ready for use
//   static int lastError();  static void setLastError(int);
//   static constexpr int kRefused, kTimedOut;           the error numbers of those two
//   static std::string errorText(int code);
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/network/socket_connection.h"
#include "platform/open_failure.h"

namespace platform {

// How one connection attempt stands after a wait.
struct Attempt {
    enum class State { Pending, Connected, Failed } state = State::Pending;
    int error = 0;  // the system's error number of a failed attempt, 0 when it gave none
};

template <typename System, typename AddressInfo>
std::unique_ptr<Connection> connectAnyWith(const AddressInfo* list, std::uint64_t deadlineNs) {
    using Handle = typename System::Handle;
    if (list == nullptr) return nullptr;
    const std::vector<const AddressInfo*> order =
        interleaveFamilies(list, [](const AddressInfo& a) { return a.ai_family; });
    std::vector<Handle> attempts;
    std::vector<Attempt> outcomes;
    std::size_t next = 0;
    std::uint64_t nextStartNs = 0;
    Handle winner = System::kNone;
    int lastError = System::kTimedOut;  // what the caller hears when no address answers in time
    while (winner == System::kNone) {
        const std::uint64_t now = processClock().nowNs();
        if (now >= deadlineNs) break;
        if (next < order.size() && (now >= nextStartNs || attempts.empty())) {
            bool connected = false;
            const Handle s = System::startConnect(*order[next++], connected);
            if (s == System::kNone) lastError = System::lastError();
            if (connected) {
                winner = s;
                break;
            }
            // One that failed at once makes way for the next at once.
            nextStartNs = s == System::kNone ? now : now + kNextAttemptNs;
            if (s != System::kNone) attempts.push_back(s);
            continue;
        }
        if (attempts.empty()) break;  // every address failed
        const std::uint64_t until =
            next < order.size() && nextStartNs < deadlineNs ? nextStartNs : deadlineNs;
        if (!System::waitAttempts(attempts, until, outcomes)) break;
        std::vector<Handle> waiting;
        for (std::size_t i = 0; i < attempts.size(); ++i) {
            const Attempt& outcome = outcomes[i];
            if (outcome.state == Attempt::State::Pending) {
                waiting.push_back(attempts[i]);
            } else if (outcome.state == Attempt::State::Connected && winner == System::kNone) {
                winner = attempts[i];
            } else {
                if (outcome.error != 0) lastError = outcome.error;
                System::close(attempts[i]);
                nextStartNs = processClock().nowNs();  // a refusal: the next address at once
            }
        }
        attempts.swap(waiting);
    }
    for (Handle s : attempts) System::close(s);
    if (winner == System::kNone) {
        System::setLastError(lastError);
        return nullptr;
    }
    return System::use(winner);
}

template <typename System, typename AddressInfo>
std::unique_ptr<Connection> connectTcpWith(const std::string& host, const std::string& port,
                                           int timeoutMs) {
    if (!System::ready()) return nullptr;
    const std::uint64_t deadline = processClock().nowNs() + std::uint64_t(timeoutMs) * kNsPerMs;
    // The lookup counts against the same limit: a name server that does not answer cannot hold
    // the open for longer than an unreachable address would.
    struct Lookup {
        AddressInfo* list;
        int error;
    };
    const auto lookup = withinDeadline<Lookup>(
        [host, port]() -> Lookup {
            const AddressInfo hints = System::lookupHints();
            AddressInfo* found = nullptr;
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
                                          System::lookupErrorText(lookup->error)));
        return nullptr;
    }
    std::unique_ptr<Connection> connection = connectAny(lookup->list, deadline);
    const int error = System::lastError();
    ::freeaddrinfo(lookup->list);
    if (!connection) {
        const ConnectFailure kind = error == System::kRefused    ? ConnectFailure::Refused
                                    : error == System::kTimedOut ? ConnectFailure::NoAnswer
                                                                 : ConnectFailure::Other;
        setOpenFailure(connectFailureText(host, port, kind, System::errorText(error)));
    }
    return connection;
}

}  // namespace platform
