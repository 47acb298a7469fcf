// The simulated target as a network serial port: a Telnet server with the Com Port Control Option
// (RFC 2217), the way ser2net serves a real adapter.
//
// Unlike on a pseudo-terminal, the host's control lines and line format reach the model here:
// SET-CONTROL's DTR and RTS drive the chip's RST/NMI and TEST pins, so the loader starts only after
// a correct entry sequence with correct timing, and SET-BAUDRATE, SET-DATASIZE, SET-PARITY and
// SET-STOPSIZE set the format the host's bytes are sent and received in, so a mismatch garbles
// them as on a UART. The protocol itself is platform/network/rfc2217_server.h's; this file is the
// socket and the model behind it.
//
// One client at a time, as a local port is opened exclusively (and as ser2net serves a port by
// default): while a client is served the server does not listen, so a second one finds its
// connection refused; with the take-over option it listens on, and a new client takes the board
// from the one served. A client that leaves drops DTR and RTS, as closing a port does; the next one
// finds the chip wherever that left it (running its firmware, or halted). A client that vanishes
// without closing is found by TCP keep-alive, and with the idle limit one that sends nothing for
// that long is hung up on.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/network/rfc2217_server.h"
#include "platform/network/tcp_listener.h"
#include "served_model.h"
#include "sim_serve.h"

namespace simserve {

namespace {

const char kSignature[] = "bsl430-sim simulated MSP430";
// Asked of poll where the system can tell that the client closed its side without reading.
#if defined(POLLRDHUP)
constexpr short kPeerClosed = POLLRDHUP;
#else
constexpr short kPeerClosed = 0;
#endif
// Keep-alive on a client's connection: probed after this many seconds without traffic, every
// kKeepAliveInterval seconds, and given up after kKeepAliveProbes unanswered probes, so a client
// whose machine vanished frees the board within about a minute.
constexpr int kKeepAliveIdle = 30;
constexpr int kKeepAliveInterval = 10;
constexpr int kKeepAliveProbes = 3;
// What a port is set to before the client sets it.
const platform::LineFormat kDefaultFormat{9600, 8, k32::NOPARITY, k32::ONESTOPBIT};

// The model as the port the client's requests reach.
class ModelPort final : public platform::ServedPort {
public:
    explicit ModelPort(ServedModel& model) : model_(model) {}
    void clientWrote(std::uint64_t now, const std::uint8_t* bytes, std::size_t count) override {
        model_.hostWrote(now, bytes, count);
    }
    void clientFormat(std::uint64_t now, const platform::LineFormat& format) override {
        model_.setHostFormat(now, format);
    }
    void clientLines(std::uint64_t now, bool dtr, bool rts) override {
        model_.hostLines(now, dtr, rts);
    }
    void purge(bool toPort, bool fromPort) override {
        if (toPort) model_.dropToModel();
        if (fromPort) model_.dropFromModel();
    }

private:
    ServedModel& model_;
};

class NetworkCarrier final : public Carrier {
public:
    NetworkCarrier(int listener, const sockaddr_storage& address, socklen_t length,
                   const NetworkOptions& options)
        : listener_(listener), address_(address), addressLength_(length), options_(options) {}
    ~NetworkCarrier() override {
        if (client_ >= 0) close(client_);
        if (listener_ >= 0) close(listener_);
    }

    void sendDue(ServedModel& model, std::uint64_t now) override {
        if (client_ >= 0 && options_.idleLimitSeconds != 0 &&
            now - lastHeardNs_ > std::uint64_t{options_.idleLimitSeconds} * 1000 * sim::kNsPerMs)
            hangUp(model);
        if (client_ < 0) {
            while (model.due(now)) model.pop();  // nobody listens: lost, as on a wire
            return;
        }
        while (const auto byte = model.due(now)) {
            server_.portByte(*byte);
            model.pop();
        }
        flush(model);
    }

    std::size_t pollSet(const ServedModel& model, pollfd* set, std::size_t) override {
        std::size_t count = 0;
        if (client_ < 0 || options_.takeOver) {
            // Listening again after a client left; should the port be taken meanwhile, the next
            // pass tries again.
            if (listener_ < 0)
                listener_ = platform::listenAt(reinterpret_cast<const sockaddr*>(&address_),
                                               addressLength_);
            if (listener_ >= 0) set[count++] = {listener_, POLLIN, 0};
        }
        if (client_ >= 0) {
            const short in = model.takesMore() && server_.takesMore() ? POLLIN : 0;
            const short out = server_.pending().empty() ? 0 : POLLOUT;
            set[count++] = {client_, static_cast<short>(in | kPeerClosed | out), 0};
        }
        return count;
    }

    void serviced(ServedModel& model, const pollfd* set, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (set[i].revents == 0) continue;
            if (set[i].fd == listener_) {
                accept(model);
                return;  // a new client: the other entry, if any, was the old one's
            }
            if (set[i].fd != client_) continue;
            if (set[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                receive(model);
            } else if (set[i].revents & kPeerClosed) {
                // Gone while its bytes wait for the line (so nothing is read): the port is free at
                // once rather than once the line has caught up.
                hangUp(model);
                return;
            }
            if (client_ >= 0 && (set[i].revents & POLLOUT)) flush(model);
        }
    }

private:
    void accept(ServedModel& model) {
        const int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        platform::setServerDescriptorFlags(fd);
        if (options_.takeOver) {
            // The new client takes the board: the old one is hung up on, as if it had left.
            if (client_ >= 0) hangUp(model);
        } else {
            // While a client is served nobody listens, so that a second one is refused outright
            // (connection refused), as a local port that is open already cannot be opened.
            close(listener_);
            listener_ = -1;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#if defined(TCP_KEEPIDLE) && defined(TCP_KEEPINTVL) && defined(TCP_KEEPCNT)
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdle, sizeof kKeepAliveIdle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveInterval, sizeof kKeepAliveInterval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
#endif
        platform::stampArrivals(fd);
        client_ = fd;
        lastHeardNs_ = platform::processClock().nowNs();
        ModelPort port(model);
        server_.begin(port, platform::processClock().nowNs());
        flush(model);
    }

    // Reads what the client sent, and when it arrived: the kernel's receive time where there is
    // one, so that a late wake-up of this server does not move a line change against the next
    // (the entry sequence's 200 ms TEST rest would shrink by it); otherwise the time of reading.
    void receive(ServedModel& model) {
        std::uint8_t buffer[4096];
        std::int64_t ageNs = 0;
        const ssize_t n = platform::receiveWithAge(client_, buffer, sizeof buffer, ageNs);
        std::uint64_t now = platform::processClock().nowNs();
        if (ageNs > 0 && static_cast<std::uint64_t>(ageNs) < now)
            now -= static_cast<std::uint64_t>(ageNs);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            hangUp(model);
            return;
        }
        lastHeardNs_ = now;
        ModelPort port(model);
        server_.received(port, now, buffer, static_cast<std::size_t>(n));
        flush(model);
    }

    void flush(ServedModel& model) {
        std::vector<std::uint8_t>& pending = server_.pending();
        std::size_t sent = 0;
        while (sent < pending.size()) {
            const ssize_t n = send(client_, pending.data() + sent, pending.size() - sent, 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                pending.clear();
                hangUp(model);
                return;
            }
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
    }

    // The client is gone: its port closes, which drops DTR and RTS.
    void hangUp(ServedModel& model) {
        close(client_);
        client_ = -1;
        ModelPort port(model);
        server_.end(port, platform::processClock().nowNs());
    }

    int listener_;
    sockaddr_storage address_;
    socklen_t addressLength_;
    NetworkOptions options_;
    int client_ = -1;
    std::uint64_t lastHeardNs_ = 0;  // when the client last sent something
    platform::Rfc2217Server server_{kSignature, kDefaultFormat};
};

}  // namespace

int serveRfc2217(const sim::SimConfig& config, const std::string& address,
                 const NetworkOptions& options) {
    std::string host, port, url, error;
    if (!platform::splitListenAddress(address, host, port)) {
        std::printf("not an address: %s (expected [HOST:]PORT)\n", address.c_str());
        return 2;
    }
    sockaddr_storage bound{};
    socklen_t length = 0;
    const int listener = platform::listenOn(host, port, bound, length, url, error);
    if (listener < 0) {
        std::printf("cannot listen on %s: %s\n", address.c_str(), error.c_str());
        return 1;
    }
    ServedModel model(config);
    std::printf("%s\n", url.c_str());
    std::fflush(stdout);

    NetworkCarrier carrier(listener, bound, length, options);
    serve(model, carrier);
    return 0;
}

}  // namespace simserve
