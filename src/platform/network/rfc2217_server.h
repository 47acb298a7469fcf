// The server's side of a network serial port (Telnet with the Com Port Control Option, RFC 2217),
// without the socket: it takes what a client sent and hands the port behind it the client's data,
// line format and DTR/RTS, and it collects what goes back to the client (the port's bytes, the
// answers to the client's commands) for the caller to send. Every COM-PORT-OPTION command is
// answered at once with the server's form of it, carrying the setting now in force.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/line_format.h"
#include "platform/network/telnet_stream.h"

namespace platform {

// The port a server serves, as the client's requests reach it.
class ServedPort {
public:
    virtual ~ServedPort() = default;
    // The client's data bytes, received at `now`.
    virtual void clientWrote(std::uint64_t now, const std::uint8_t* bytes, std::size_t count) = 0;
    // The line format the client set, from `now` on.
    virtual void clientFormat(std::uint64_t now, const LineFormat& format) = 0;
    // The client's DTR and RTS (true: set), from `now` on.
    virtual void clientLines(std::uint64_t now, bool dtr, bool rts) = 0;
    // Throws away the client's bytes not yet on the line (`toPort`) and the port's bytes not yet
    // sent to the client (`fromPort`).
    virtual void purge(bool toPort, bool fromPort) = 0;
};

class Rfc2217Server {
public:
    // Bytes waiting for a client that does not read them (or holds the data back): beyond this
    // the port's bytes are lost, as a receiver that is not emptied overruns.
    static constexpr std::size_t kMaxPending = 1 << 20;

    // `signature` answers the client's SIGNATURE request; `initial` is what the port is set to
    // before a client sets it.
    Rfc2217Server(std::string signature, const LineFormat& initial)
        : signature_(std::move(signature)), initial_(initial), format_(initial) {}

    // A new client: everything back to the start, the port set to the initial format, and the
    // server's own option requests queued.
    void begin(ServedPort& port, std::uint64_t now);
    // The client is gone: what waited for it is dropped, and its port closes, which drops DTR and
    // RTS.
    void end(ServedPort& port, std::uint64_t now);

    // Takes bytes the client sent at `now`: data and commands in the order they came, so that a
    // format or line change applies to the bytes after it, not to those before.
    void received(ServedPort& port, std::uint64_t now, const std::uint8_t* bytes,
                  std::size_t count);
    // A byte of the port's for the client (held back while the client has suspended the data).
    void portByte(std::uint8_t byte);

    // What waits to be sent to the client; the caller sends from the front and erases what went.
    std::vector<std::uint8_t>& pending() { return pending_; }
    // Whether more of the client's bytes should be read: not while its answers pile up unread.
    bool takesMore() const { return pending_.size() < kMaxPending; }

private:
    void command(ServedPort& port, std::uint64_t now, const telnet::Command& c);
    std::uint8_t control(ServedPort& port, std::uint64_t now, std::uint8_t request);
    template <typename Field, typename Value>
    void setFormat(ServedPort& port, std::uint64_t now, Field LineFormat::*field, Value value) {
        format_.*field = value;
        port.clientFormat(now, format_);
    }

    std::string signature_;
    LineFormat initial_;
    telnet::Decoder decoder_;
    telnet::OptionPolicy policy_{{}, {}};
    std::vector<std::uint8_t> pending_;  // Telnet bytes for the client not yet sent
    bool suspended_ = false;             // the client asked to hold the port's bytes
    std::vector<std::uint8_t> held_;     // the port's bytes held meanwhile
    LineFormat format_;
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace platform
