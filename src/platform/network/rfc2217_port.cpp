#include "platform/network/rfc2217_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/clock.h"
#include "platform/network/telnet_stream.h"
#include "platform/open_failure.h"
#include "platform/read_timeouts.h"

namespace platform {
namespace {

namespace cpo = telnet::cpo;

constexpr char kPrefix[] = "rfc2217://";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;

// Most bytes taken from the connection at once; what is buffered here never grows by more.
constexpr std::size_t kChunk = 4096;
// Most data bytes held here for reads to come: past it nothing more is taken from the connection
// until reads make room, so a server that floods a port nobody reads cannot grow memory.
constexpr std::size_t kMostBuffered = 16 * kChunk;
// Most chunks a purge takes in to drop what has already arrived (a server that floods does not
// keep the purge going).
constexpr int kPurgeChunks = 16;
// The longest an open waits for the server's first answer (its signature or the answer to the
// round-trip probe): longer than the longest round trip a link may have.
constexpr int kOpenAnswerWaitMs = 3000;
// Telnet's TIMING-MARK option: a server answers DO TIMING-MARK with WILL or WONT once it has
// taken everything before it, which makes it a round-trip probe that touches no setting. Every
// Telnet server answers it, where the signature (which RFC 2217 makes optional) may never come.
constexpr std::uint8_t kOptTimingMark = 6;
// The round trip is probed again at most this often, while reads are under way.
constexpr std::uint64_t kProbeEveryNs = 1000 * kNsPerMs;
// How many of the latest round-trip measurements the estimate takes the longest of.
constexpr std::size_t kRoundTrips = 4;

std::uint8_t parityValue(k32::BYTE parity) {
    switch (parity) {
        case k32::ODDPARITY: return cpo::kParityOdd;
        case k32::EVENPARITY: return cpo::kParityEven;
        case k32::MARKPARITY: return cpo::kParityMark;
        case k32::SPACEPARITY: return cpo::kParitySpace;
        default: return cpo::kParityNone;
    }
}

std::uint8_t stopSizeValue(k32::BYTE stopBits) {
    switch (stopBits) {
        case k32::ONE5STOPBITS: return cpo::kStopOneAndHalf;
        case k32::TWOSTOPBITS: return cpo::kStopTwo;
        default: return cpo::kStopOne;
    }
}

class NetworkPort final : public Device {
public:
    explicit NetworkPort(std::unique_ptr<Connection> connection)
        : connection_(std::move(connection)),
          policy_({telnet::kOptBinary, telnet::kOptSuppressGoAhead, telnet::kOptComPort},
                  {telnet::kOptBinary, telnet::kOptSuppressGoAhead}),
          dcb_(freshPortState(k32::DTR_CONTROL_ENABLE, k32::RTS_CONTROL_ENABLE)) {}
    // The last requests (the line changes that release the target's reset) are still on their
    // way: the connection waits for the server to end it for a round trip longer.
    ~NetworkPort() override { connection_->setRoundTrip(roundTripNs()); }

    // Asks for the options and for the server's signature, with a round-trip probe behind them,
    // and waits for the first of the two answers (at most kOpenAnswerWaitMs), which gives the
    // round trip before the first frame: a server that ends the connection instead does not serve
    // this port now. ser2net does so when another client holds the port: it takes the
    // connection, writes "Port already in use" and closes. A server that does not answer is used
    // all the same. False when the connection has ended.
    bool open() {
        std::vector<std::uint8_t> out;
        policy_.requestLocal(out, telnet::kOptBinary);
        policy_.requestRemote(out, telnet::kOptBinary);
        policy_.requestLocal(out, telnet::kOptSuppressGoAhead);
        policy_.requestRemote(out, telnet::kOptSuppressGoAhead);
        policy_.requestLocal(out, telnet::kOptComPort);
        telnet::appendComPort(out, cpo::kSignature, nullptr, 0);
        telnet::appendNegotiation(out, telnet::kDo, kOptTimingMark);
        if (!send(out)) return false;
        signatureSentNs_ = processClock().nowNs();
        probeSentNs_ = lastProbeNs_ = signatureSentNs_;
        const std::uint64_t deadline =
            signatureSentNs_ + std::uint64_t(kOpenAnswerWaitMs) * kNsPerMs;
        while (nextRoundTrip_ == 0 && !gone_ && processClock().nowNs() < deadline) {
            if (!takeIn(deadline) && received_.size() >= kMostBuffered) break;
        }
        return !gone_;
    }

    // The round trip to the server's serial port and back as last measured, 0 before any answer:
    // the longest of the latest few, and on a link whose round trip varies, that variation once
    // more, so that an answer a little later than the last ones is still waited for.
    std::uint64_t roundTripNs() const {
        const std::size_t n = std::min(nextRoundTrip_, kRoundTrips);
        if (n == 0) return 0;
        const auto [least, most] =
            std::minmax_element(roundTrips_.begin(), roundTrips_.begin() + n);
        return *most + (*most - *least);
    }

    bool getCommState(k32::DCB& dcb) override {
        if (gone_) return false;
        dcb = dcb_;
        return true;
    }

    bool setCommState(const k32::DCB& dcb) override {
        if (gone_ || dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
            dcb.Parity > k32::SPACEPARITY || dcb.StopBits > k32::TWOSTOPBITS)
            return false;
        std::vector<std::uint8_t> out;
        if (!configured_ || dcb.BaudRate != dcb_.BaudRate) {
            const auto value = telnet::baudRateValue(dcb.BaudRate);
            telnet::appendComPort(out, cpo::kSetBaudRate, value.data(), value.size());
        }
        if (!configured_ || dcb.ByteSize != dcb_.ByteSize)
            telnet::appendComPort(out, cpo::kSetDataSize, dcb.ByteSize);
        if (!configured_ || dcb.Parity != dcb_.Parity)
            telnet::appendComPort(out, cpo::kSetParity, parityValue(dcb.Parity));
        if (!configured_ || dcb.StopBits != dcb_.StopBits)
            telnet::appendComPort(out, cpo::kSetStopSize, stopSizeValue(dcb.StopBits));
        // Flow control would hold back bytes of a frame; it is switched off once and never on.
        if (!configured_) telnet::appendComPort(out, cpo::kSetControl, cpo::kControlNoFlowControl);
        if (!send(out)) return false;
        configured_ = true;
        dcb_ = dcb;
        return true;
    }

    bool getCommTimeouts(k32::COMMTIMEOUTS& timeouts) override {
        timeouts = timeouts_;
        return !gone_;
    }

    bool setCommTimeouts(const k32::COMMTIMEOUTS& timeouts) override {
        timeouts_ = timeouts;
        return !gone_;
    }

    bool purge(k32::DWORD flags) override {
        if (gone_) return false;
        const bool in = (flags & k32::PURGE_RXCLEAR) != 0;
        const bool out = (flags & k32::PURGE_TXCLEAR) != 0;
        if (!in && !out) return true;  // nothing pending to abort: every call is synchronous
        std::vector<std::uint8_t> request;
        telnet::appendComPort(request, cpo::kPurgeData,
                              in && out ? cpo::kPurgeBoth
                              : in      ? cpo::kPurgeReceive
                                        : cpo::kPurgeTransmit);
        if (!send(request)) return false;
        if (in) {
            // What has reached this machine is dropped, as a local port's driver drops its
            // buffer; the server's answers among it are still taken.
            for (int i = 0; i < kPurgeChunks && takeIn(processClock().nowNs()); ++i) {}
            received_.clear();
        }
        return !gone_;
    }

    bool read(void* buffer, k32::DWORD count, k32::DWORD& got) override;
    // Signaled while received data waits to be read. What has come is taken in first, without
    // waiting, so that the server's commands alone (its answers and reports) do not count. A
    // connection that has ended is not watched: nothing more can come.
    bool waitState(WaitState& state) override {
        const std::uint64_t now = processClock().nowNs();
        while (!gone_ && received_.empty() && takeIn(now)) {}
        state.signaled = !received_.empty();
        if (gone_) return true;
        state.descriptor = connection_->waitDescriptor();
        if (state.descriptor < 0) state.lookAgainNs = now + kNsPerMs;
        return true;
    }

    bool write(const void* buffer, k32::DWORD count, k32::DWORD& written) override {
        written = 0;
        if (gone_) return false;
        std::vector<std::uint8_t> out;
        telnet::appendData(out, static_cast<const std::uint8_t*>(buffer), count);
        if (!send(out)) return false;
        written = count;
        return true;
    }

    bool escape(k32::DWORD function) override {
        std::uint8_t value = 0;
        switch (function) {
            case k32::SETDTR: value = cpo::kControlDtrOn; break;
            case k32::CLRDTR: value = cpo::kControlDtrOff; break;
            case k32::SETRTS: value = cpo::kControlRtsOn; break;
            case k32::CLRRTS: value = cpo::kControlRtsOff; break;
            case k32::SETBREAK: value = cpo::kControlBreakOn; break;
            case k32::CLRBREAK: value = cpo::kControlBreakOff; break;
            default: return false;
        }
        std::vector<std::uint8_t> out;
        telnet::appendComPort(out, cpo::kSetControl, value);
        // Servers of ports without modem lines never answer these; nothing waits for it.
        return !gone_ && send(out);
    }

    // The modem inputs as the server last reported them (none until it does).
    bool modemStatus(k32::DWORD& status) override {
        if (!gone_) takeIn(processClock().nowNs());
        status = gone_ ? 0
                       : modemState_ &
                             (k32::MS_CTS_ON | k32::MS_DSR_ON | k32::MS_RING_ON | k32::MS_RLSD_ON);
        return !gone_;
    }

private:
    // Sends and takes a failure as the end of the connection.
    bool send(const std::vector<std::uint8_t>& bytes) {
        if (gone_) return false;
        if (bytes.empty() || connection_->send(bytes.data(), bytes.size())) return true;
        gone_ = true;
        return false;
    }

    // Takes one chunk from the connection, waiting for it until `deadlineNs` at most: its data
    // goes to `received_`, its commands are handled. False when nothing came, the connection
    // ended, or `received_` is full.
    bool takeIn(std::optional<std::uint64_t> deadlineNs) {
        if (received_.size() >= kMostBuffered) return false;
        std::uint8_t chunk[kChunk];
        std::size_t n = 0;
        switch (connection_->receive(chunk, sizeof chunk, n, deadlineNs)) {
            case Connection::Received::Nothing: return false;
            case Connection::Received::Closed: gone_ = true; return false;
            case Connection::Received::Bytes: break;
        }
        std::vector<std::uint8_t> answers;
        for (std::size_t i = 0; i < n; ++i) {
            switch (decoder_.push(chunk[i])) {
                case telnet::Decoder::Event::Data: received_.push_back(decoder_.data()); break;
                case telnet::Decoder::Event::Command: handle(decoder_.command(), answers); break;
                case telnet::Decoder::Event::None: break;
            }
        }
        send(answers);
        return !gone_;
    }

    void handle(const telnet::Command& command, std::vector<std::uint8_t>& answers) {
        if ((command.verb == telnet::kWill || command.verb == telnet::kWont) &&
            command.option == kOptTimingMark) {
            // The answer to a probe; it needs no answer of its own and changes no option.
            if (probeSentNs_) measured(*probeSentNs_);
            probeSentNs_.reset();
            return;
        }
        if (command.verb != telnet::kSb) {
            policy_.receive(answers, command.verb, command.option);
            return;
        }
        // Of the server's reports only the modem inputs matter here; its answers to our settings
        // are not waited for, and a server that changes them is not followed.
        if (command.option != telnet::kOptComPort || command.size == 0) return;
        if (command.value[0] == cpo::kServerOffset + cpo::kSignature && !signed_) {
            signed_ = true;
            measured(signatureSentNs_);
        }
        if (command.size == 2 && !command.truncated &&
            command.value[0] == cpo::kServerOffset + cpo::kNotifyModemState)
            modemState_ = command.value[1];
    }

    // A round trip that began at `sentNs` has just ended.
    void measured(std::uint64_t sentNs) {
        const std::uint64_t now = processClock().nowNs();
        roundTrips_[nextRoundTrip_++ % kRoundTrips] = now > sentNs ? now - sentNs : 0;
        connection_->setRoundTrip(roundTripNs());
    }

    // Sends a probe of the round trip when none is on its way and the last is a while ago, whether
    // or not the server signed. A server that never answers gets one probe only (the open's).
    void probeRoundTrip(std::uint64_t now) {
        if (probeSentNs_ || now - lastProbeNs_ < kProbeEveryNs) return;
        std::vector<std::uint8_t> out;
        telnet::appendNegotiation(out, telnet::kDo, kOptTimingMark);
        if (!send(out)) return;
        probeSentNs_ = now;
        lastProbeNs_ = now;
    }

    std::unique_ptr<Connection> connection_;
    telnet::Decoder decoder_;
    telnet::OptionPolicy policy_;
    std::deque<std::uint8_t> received_;
    k32::DCB dcb_{};
    k32::COMMTIMEOUTS timeouts_{};
    bool configured_ = false;
    bool gone_ = false;
    bool signed_ = false;  // the server has answered the request for its signature
    std::uint8_t modemState_ = 0;
    std::uint64_t signatureSentNs_ = 0;
    std::optional<std::uint64_t> probeSentNs_;  // the round-trip probe on its way
    std::uint64_t lastProbeNs_ = 0;
    std::array<std::uint64_t, kRoundTrips> roundTrips_{};
    std::size_t nextRoundTrip_ = 0;
};

bool NetworkPort::read(void* buffer, k32::DWORD count, k32::DWORD& got) {
    got = 0;
    Clock& clock = processClock();
    const std::uint64_t start = clock.nowNs();
    ReadPlan plan = planRead(timeouts_, count, start);
    // As a pulled adapter's read does, a read on a connection that is gone fails at once (after
    // the millisecond that lets a caller's tick-count deadline come on a virtual clock too),
    // however long its time-out: the caller's own time limits decide how long it goes on.
    const auto failNow = [&] {
        clock.sleepUntilNs(start + kNsPerMs);
        return false;
    };
    if (gone_) return failNow();
    if (count == 0) return true;
    // A read that waits waits longer by the round trip: an answer to what was just sent is that
    // much later than on a local port. A read that returns at once stays one.
    if (plan.deadlineNs && *plan.deadlineNs > start) {
        *plan.deadlineNs += roundTripNs();
        probeRoundTrip(start);
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t lastByteNs = start;
    bool lastLook = false;
    for (;;) {
        if (!received_.empty()) {
            while (got < count && !received_.empty()) {
                out[got++] = received_.front();
                received_.pop_front();
            }
            lastByteNs = clock.nowNs();
            lastLook = false;
            if (got == count || plan.endsOnFirstByte) return true;
        }
        const std::optional<std::uint64_t> deadline = plan.endNs(got, lastByteNs);
        if (deadline && clock.nowNs() >= *deadline) {
            // Time is up: what has arrived by now still counts, once.
            if (lastLook) return true;
            lastLook = true;
        }
        takeIn(deadline);
        if (gone_) {
            // What arrived before the connection ended is still read; a read that got nothing
            // fails.
            if (!received_.empty()) continue;
            if (got > 0) return true;
            return failNow();
        }
    }
}

bool equalsIgnoringCase(const std::string& text, std::size_t from, const char* expected,
                        std::size_t length) {
    if (text.size() < from + length) return false;
    for (std::size_t i = 0; i < length; ++i)
        if (std::tolower(static_cast<unsigned char>(text[from + i])) != expected[i]) return false;
    return true;
}

}  // namespace

bool isNetworkPortName(const std::string& name) {
    return equalsIgnoringCase(name, 0, kPrefix, kPrefixLength);
}

bool parseNetworkPortName(const std::string& name, std::string& host, std::string& port) {
    if (!isNetworkPortName(name)) return false;
    const std::string rest = name.substr(kPrefixLength);
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos) return false;
        host = rest.substr(0, colon);
        if (host.find_first_of("[]") != std::string::npos) return false;
    }
    port = rest.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5) return false;
    unsigned long number = 0;
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    // Host names and addresses are printable and have no spaces; a stray character is a typing
    // error.
    for (char c : host)
        if (!std::isgraph(static_cast<unsigned char>(c)) || c == '/' || c == '@') return false;
    return number >= 1 && number <= 65535;
}

std::unique_ptr<Device> makeNetworkPort(std::unique_ptr<Connection> connection) {
    auto port = std::make_unique<NetworkPort>(std::move(connection));
    if (!port->open()) return nullptr;
    return port;
}

std::unique_ptr<Device> openNetworkPort(const std::string& name) {
    std::string host, port;
    if (!parseNetworkPortName(name, host, port)) {
        setOpenFailure(name + " is not rfc2217://HOST:PORT");
        return nullptr;
    }
    std::unique_ptr<Connection> connection = connectTcp(host, port, kConnectTimeoutMs);
    if (!connection) return nullptr;
    auto device = makeNetworkPort(std::move(connection));
    if (!device)
        setOpenFailure(host + ":" + port +
                       " closed the connection at once (the port is in use by another client?)");
    return device;
}

}  // namespace platform
