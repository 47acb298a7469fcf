// The simulated target as a network serial port: a Telnet server with the Com Port Control Option
// (RFC 2217), the way ser2net serves a real adapter.
//
// Unlike on a pseudo-terminal, the host's control lines and line format reach the model here:
// SET-CONTROL's DTR and RTS drive the chip's RST/NMI and TEST pins, so the loader starts only after
// a correct entry sequence with correct timing, and SET-BAUDRATE, SET-DATASIZE, SET-PARITY and
// SET-STOPSIZE set the format the host's bytes are sent and received in, so a mismatch garbles
// them as on a UART. Every COM-PORT-OPTION command is answered at once with the server's form of
// it, carrying the setting now in force.
//
// One client at a time, as a local port is opened exclusively (and as ser2net serves a port by
// default): while a client is served the server does not listen, so a second one finds its
// connection refused; with the take-over option it listens on, and a new client takes the board
// from the one served. A client that leaves drops DTR and RTS, as closing a port does; the next one
// finds the chip wherever that left it (running its firmware, or halted). A client that vanishes
// without closing is found by TCP keep-alive, and with the idle limit one that sends nothing for
// that long is hung up on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/network/telnet_stream.h"
#include "served_model.h"
#include "sim_serve.h"

namespace simserve {

namespace {

namespace tn = platform::telnet;
namespace cpo = platform::telnet::cpo;

const char kSignature[] = "bsl430-sim simulated MSP430";
// Bytes waiting for a client that does not read them (or holds the data back): beyond this the
// chip's bytes are lost, as a receiver that is not emptied overruns, and no more of the client's
// commands are read until it takes its answers.
constexpr std::size_t kMaxPending = 1 << 20;
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

// Splits "[HOST:]PORT" (HOST may be an IPv6 address in brackets); loopback when HOST is missing.
bool splitAddress(const std::string& text, std::string& host, std::string& port) {
    host = "127.0.0.1";
    port = text;
    if (!text.empty() && text[0] == '[') {
        const std::string::size_type close = text.find("]:");
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const std::string::size_type colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty() || port.empty() || port.size() > 5) return false;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
    }
    return std::stoul(port) <= 65535;
}

// Non-blocking, and not inherited by programs this one might start.
void setDescriptorFlags(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

// A listening, non-blocking socket on `address`, or -1 with errno set.
int listenAt(const sockaddr* address, socklen_t length) {
    const int fd = socket(address->sa_family, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    setDescriptorFlags(fd);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, address, length) != 0 || listen(fd, 4) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// Listens on HOST:PORT; fills in the address it is bound to (PORT 0 becomes the one taken) and the
// rfc2217:// URL that reaches it.
int listenOn(const std::string& host, const std::string& port, sockaddr_storage& bound,
             socklen_t& length, std::string& url, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = listenAt(a->ai_addr, a->ai_addrlen);
        if (fd < 0) error = std::strerror(errno);
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;

    length = sizeof bound;
    char name[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, name, sizeof name, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    const bool v6 = bound.ss_family == AF_INET6;
    url = std::string("rfc2217://") + (v6 ? "[" : "") + name + (v6 ? "]" : "") + ":" + service;
    return fd;
}

std::uint8_t parityValue(std::uint8_t k32Parity) {
    return static_cast<std::uint8_t>(k32Parity + 1);
}

std::uint8_t stopSizeValue(std::uint8_t k32Stop) {
    return k32Stop == k32::TWOSTOPBITS    ? cpo::kStopTwo
           : k32Stop == k32::ONE5STOPBITS ? cpo::kStopOneAndHalf
                                          : cpo::kStopOne;
}

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
        // While the client has suspended the data, the chip's bytes are held back; replies to its
        // commands still go out.
        std::vector<std::uint8_t>& to = suspended_ ? held_ : pending_;
        while (const auto byte = model.due(now)) {
            if (to.size() < kMaxPending) tn::appendData(to, &*byte, 1);
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
                listener_ = listenAt(reinterpret_cast<const sockaddr*>(&address_), addressLength_);
            if (listener_ >= 0) set[count++] = {listener_, POLLIN, 0};
        }
        if (client_ >= 0) {
            const short in = model.takesMore() && pending_.size() < kMaxPending ? POLLIN : 0;
            set[count++] = {client_,
                            static_cast<short>(in | kPeerClosed | (pending_.empty() ? 0 : POLLOUT)),
                            0};
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
        setDescriptorFlags(fd);
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
#if defined(SO_TIMESTAMPNS)
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
        client_ = fd;
        lastHeardNs_ = platform::processClock().nowNs();
        decoder_.reset();
        policy_ = tn::OptionPolicy({tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort},
                                   {tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort});
        pending_.clear();
        suspended_ = false;
        held_.clear();
        format_ = kDefaultFormat;
        dtr_ = rts_ = false;
        model.setHostFormat(platform::processClock().nowNs(), format_);
        policy_.requestLocal(pending_, tn::kOptBinary);
        policy_.requestRemote(pending_, tn::kOptBinary);
        policy_.requestLocal(pending_, tn::kOptSuppressGoAhead);
        policy_.requestRemote(pending_, tn::kOptSuppressGoAhead);
        policy_.requestRemote(pending_, tn::kOptComPort);
        flush(model);
    }

    void receive(ServedModel& model) {
        std::uint8_t buffer[4096];
        std::uint64_t now = 0;
        const ssize_t n = readStamped(buffer, sizeof buffer, now);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            hangUp(model);
            return;
        }
        lastHeardNs_ = now;
        // Data and commands in the order they came: a format or line change applies to the bytes
        // after it, not to those before.
        std::vector<std::uint8_t> data;
        for (ssize_t i = 0; i < n; ++i) {
            const tn::Decoder::Event event = decoder_.push(buffer[i]);
            if (event == tn::Decoder::Event::Data) {
                data.push_back(decoder_.data());
            } else if (event == tn::Decoder::Event::Command) {
                model.hostWrote(now, data.data(), data.size());
                data.clear();
                command(model, now, decoder_.command());
            }
        }
        model.hostWrote(now, data.data(), data.size());
        flush(model);
    }

    // Reads what the client sent, and when it arrived: the kernel's receive time where there is
    // one, so that a late wake-up of this server does not move a line change against the next
    // (the entry sequence's 200 ms TEST rest would shrink by it); otherwise the time of reading.
    ssize_t readStamped(std::uint8_t* buffer, std::size_t size, std::uint64_t& arrivalNs) {
        iovec part{buffer, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(client_, &message, 0);
        platform::Clock& clock = platform::processClock();
        arrivalNs = clock.nowNs();
#if defined(SO_TIMESTAMPNS)
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); n > 0 && c != nullptr;
             c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec stamp{};
            timespec wall{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            clock_gettime(CLOCK_REALTIME, &wall);
            // The stamp is wall-clock time: taken back from now by its age.
            const std::int64_t ageNs =
                (static_cast<std::int64_t>(wall.tv_sec) - stamp.tv_sec) * 1000000000 +
                (wall.tv_nsec - stamp.tv_nsec);
            if (ageNs > 0 && static_cast<std::uint64_t>(ageNs) < arrivalNs)
                arrivalNs -= static_cast<std::uint64_t>(ageNs);
        }
#endif
        return n;
    }

    void command(ServedModel& model, std::uint64_t now, const tn::Command& c) {
        if (c.verb != tn::kSb) {
            policy_.receive(pending_, c.verb, c.option);
            return;
        }
        if (c.option != tn::kOptComPort || c.size == 0) return;
        const std::uint8_t code = c.value[0];
        const std::uint8_t* value = c.value.data() + 1;
        const std::size_t size = c.size - 1;
        const std::uint8_t v = size > 0 ? value[0] : 0;
        const std::uint8_t reply = static_cast<std::uint8_t>(code + cpo::kServerOffset);
        switch (code) {
            case cpo::kSignature:
                tn::appendComPort(pending_, reply,
                                  reinterpret_cast<const std::uint8_t*>(kSignature),
                                  sizeof kSignature - 1);
                break;
            case cpo::kSetBaudRate: {
                std::uint32_t baud = 0;
                if (tn::readBaudRate(value, size, baud) && baud != 0)
                    setFormat(model, now, &platform::LineFormat::baud, baud);
                const auto answer = tn::baudRateValue(format_.baud);
                tn::appendComPort(pending_, reply, answer.data(), answer.size());
                break;
            }
            case cpo::kSetDataSize:
                if (v >= 5 && v <= 8) setFormat(model, now, &platform::LineFormat::dataBits, v);
                tn::appendComPort(pending_, reply, format_.dataBits);
                break;
            case cpo::kSetParity:
                if (v >= cpo::kParityNone && v <= cpo::kParitySpace) {
                    setFormat(model, now, &platform::LineFormat::parity,
                              static_cast<std::uint8_t>(v - 1));
                }
                tn::appendComPort(pending_, reply, parityValue(format_.parity));
                break;
            case cpo::kSetStopSize:
                if (v == cpo::kStopOne)
                    setFormat(model, now, &platform::LineFormat::stopBits, k32::ONESTOPBIT);
                if (v == cpo::kStopTwo)
                    setFormat(model, now, &platform::LineFormat::stopBits, k32::TWOSTOPBITS);
                if (v == cpo::kStopOneAndHalf)
                    setFormat(model, now, &platform::LineFormat::stopBits, k32::ONE5STOPBITS);
                tn::appendComPort(pending_, reply, stopSizeValue(format_.stopBits));
                break;
            case cpo::kSetControl:
                tn::appendComPort(pending_, reply, control(model, now, v));
                break;
            case cpo::kFlowControlSuspend:
            case cpo::kFlowControlResume:
                suspended_ = code == cpo::kFlowControlSuspend;
                if (!suspended_) {
                    pending_.insert(pending_.end(), held_.begin(), held_.end());
                    held_.clear();
                }
                tn::appendComPort(pending_, reply, value, size);
                break;
            case cpo::kSetLineStateMask:
            case cpo::kSetModemStateMask:
                // No state changes are reported, whatever the mask.
                tn::appendComPort(pending_, reply, v);
                break;
            case cpo::kPurgeData:
                // The server's receive buffer holds the client's bytes not yet on the line, its
                // transmit buffer the chip's bytes not yet sent to the client.
                if (v == cpo::kPurgeReceive || v == cpo::kPurgeBoth) model.dropToModel();
                if (v == cpo::kPurgeTransmit || v == cpo::kPurgeBoth) model.dropFromModel();
                tn::appendComPort(pending_, reply, v);
                break;
            default: break;  // the server's own notifications, or unknown: nothing to answer
        }
    }

    template <typename Field, typename Value>
    void setFormat(ServedModel& model, std::uint64_t now, Field platform::LineFormat::*field,
                   Value value) {
        format_.*field = value;
        model.setHostFormat(now, format_);
    }

    // SET-CONTROL: changes the lines asked for, and returns the state the answer reports. There
    // is no flow control and no break here.
    std::uint8_t control(ServedModel& model, std::uint64_t now, std::uint8_t request) {
        switch (request) {
            case 7:  // request DTR state
                return dtr_ ? cpo::kControlDtrOn : cpo::kControlDtrOff;
            case 10:  // request RTS state
                return rts_ ? cpo::kControlRtsOn : cpo::kControlRtsOff;
            case cpo::kControlDtrOn:
            case cpo::kControlDtrOff:
            case cpo::kControlRtsOn:
            case cpo::kControlRtsOff: {
                const bool dtrLine =
                    request == cpo::kControlDtrOn || request == cpo::kControlDtrOff;
                (dtrLine ? dtr_ : rts_) =
                    request == cpo::kControlDtrOn || request == cpo::kControlRtsOn;
                model.hostLines(now, dtr_, rts_);
                return request;
            }
            case 4:  // request break state
            case cpo::kControlBreakOn:
            case cpo::kControlBreakOff: return cpo::kControlBreakOff;
            default:
                // Outbound flow control (0 to 3, 17 to 19) or inbound (13 to 16): always none.
                return request >= 13 && request <= 16 ? cpo::kControlNoInboundFlowControl
                                                      : cpo::kControlNoFlowControl;
        }
    }

    void flush(ServedModel& model) {
        std::size_t sent = 0;
        while (sent < pending_.size()) {
            const ssize_t n = send(client_, pending_.data() + sent, pending_.size() - sent, 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                pending_.clear();
                hangUp(model);
                return;
            }
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(sent));
    }

    // The client is gone: its port closes, which drops DTR and RTS.
    void hangUp(ServedModel& model) {
        close(client_);
        client_ = -1;
        pending_.clear();
        held_.clear();
        model.dropToModel();
        model.dropFromModel();
        dtr_ = rts_ = false;
        model.hostLines(platform::processClock().nowNs(), false, false);
    }

    int listener_;
    sockaddr_storage address_;
    socklen_t addressLength_;
    NetworkOptions options_;
    int client_ = -1;
    std::uint64_t lastHeardNs_ = 0;  // when the client last sent something
    tn::Decoder decoder_;
    tn::OptionPolicy policy_{{}, {}};
    std::vector<std::uint8_t> pending_;  // Telnet bytes for the client not yet sent
    bool suspended_ = false;             // the client asked to hold the chip's bytes
    std::vector<std::uint8_t> held_;     // the chip's bytes held meanwhile
    platform::LineFormat format_ = kDefaultFormat;
    bool dtr_ = false;
    bool rts_ = false;
};

}  // namespace

int serveRfc2217(const sim::SimConfig& config, const std::string& address,
                 const NetworkOptions& options) {
    std::string host, port, url, error;
    if (!splitAddress(address, host, port)) {
        std::printf("not an address: %s (expected [HOST:]PORT)\n", address.c_str());
        return 2;
    }
    sockaddr_storage bound{};
    socklen_t length = 0;
    const int listener = listenOn(host, port, bound, length, url, error);
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
