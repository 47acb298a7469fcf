#include "platform/network/rfc2217_server.h"

namespace platform {

namespace tn = telnet;
namespace cpo = telnet::cpo;

namespace {

std::uint8_t parityValue(std::uint8_t k32Parity) {
    return static_cast<std::uint8_t>(k32Parity + 1);
}

std::uint8_t stopSizeValue(std::uint8_t k32Stop) {
    return k32Stop == k32::TWOSTOPBITS    ? cpo::kStopTwo
           : k32Stop == k32::ONE5STOPBITS ? cpo::kStopOneAndHalf
                                          : cpo::kStopOne;
}

}  // namespace

void Rfc2217Server::begin(ServedPort& port, std::uint64_t now) {
    decoder_.reset();
    policy_ = tn::OptionPolicy({tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort},
                               {tn::kOptBinary, tn::kOptSuppressGoAhead, tn::kOptComPort});
    pending_.clear();
    suspended_ = false;
    held_.clear();
    format_ = initial_;
    dtr_ = rts_ = false;
    port.clientFormat(now, format_);
    policy_.requestLocal(pending_, tn::kOptBinary);
    policy_.requestRemote(pending_, tn::kOptBinary);
    policy_.requestLocal(pending_, tn::kOptSuppressGoAhead);
    policy_.requestRemote(pending_, tn::kOptSuppressGoAhead);
    policy_.requestRemote(pending_, tn::kOptComPort);
}

void Rfc2217Server::end(ServedPort& port, std::uint64_t now) {
    pending_.clear();
    held_.clear();
    port.purge(true, true);
    dtr_ = rts_ = false;
    port.clientLines(now, false, false);
}

void Rfc2217Server::received(ServedPort& port, std::uint64_t now, const std::uint8_t* bytes,
                             std::size_t count) {
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < count; ++i) {
        const tn::Decoder::Event event = decoder_.push(bytes[i]);
        if (event == tn::Decoder::Event::Data) {
            data.push_back(decoder_.data());
        } else if (event == tn::Decoder::Event::Command) {
            port.clientWrote(now, data.data(), data.size());
            data.clear();
            command(port, now, decoder_.command());
        }
    }
    port.clientWrote(now, data.data(), data.size());
}

void Rfc2217Server::portByte(std::uint8_t byte) {
    // While the client has suspended the data, the port's bytes are held back; replies to its
    // commands still go out.
    std::vector<std::uint8_t>& to = suspended_ ? held_ : pending_;
    if (to.size() < kMaxPending) tn::appendData(to, &byte, 1);
}

void Rfc2217Server::command(ServedPort& port, std::uint64_t now, const tn::Command& c) {
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
                              reinterpret_cast<const std::uint8_t*>(signature_.data()),
                              signature_.size());
            break;
        case cpo::kSetBaudRate: {
            std::uint32_t baud = 0;
            if (tn::readBaudRate(value, size, baud) && baud != 0)
                setFormat(port, now, &LineFormat::baud, baud);
            const auto answer = tn::baudRateValue(format_.baud);
            tn::appendComPort(pending_, reply, answer.data(), answer.size());
            break;
        }
        case cpo::kSetDataSize:
            if (v >= 5 && v <= 8) setFormat(port, now, &LineFormat::dataBits, v);
            tn::appendComPort(pending_, reply, format_.dataBits);
            break;
        case cpo::kSetParity:
            if (v >= cpo::kParityNone && v <= cpo::kParitySpace)
                setFormat(port, now, &LineFormat::parity, static_cast<std::uint8_t>(v - 1));
            tn::appendComPort(pending_, reply, parityValue(format_.parity));
            break;
        case cpo::kSetStopSize:
            if (v == cpo::kStopOne) setFormat(port, now, &LineFormat::stopBits, k32::ONESTOPBIT);
            if (v == cpo::kStopTwo) setFormat(port, now, &LineFormat::stopBits, k32::TWOSTOPBITS);
            if (v == cpo::kStopOneAndHalf)
                setFormat(port, now, &LineFormat::stopBits, k32::ONE5STOPBITS);
            tn::appendComPort(pending_, reply, stopSizeValue(format_.stopBits));
            break;
        case cpo::kSetControl: tn::appendComPort(pending_, reply, control(port, now, v)); break;
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
            // transmit buffer the port's bytes not yet sent to the client.
            port.purge(v == cpo::kPurgeReceive || v == cpo::kPurgeBoth,
                       v == cpo::kPurgeTransmit || v == cpo::kPurgeBoth);
            tn::appendComPort(pending_, reply, v);
            break;
        default: break;  // the server's own notifications, or unknown: nothing to answer
    }
}

// SET-CONTROL: changes the lines asked for, and returns the state the answer reports. There is no
// flow control and no break here.
std::uint8_t Rfc2217Server::control(ServedPort& port, std::uint64_t now, std::uint8_t request) {
    switch (request) {
        case 7:  // request DTR state
            return dtr_ ? cpo::kControlDtrOn : cpo::kControlDtrOff;
        case 10:  // request RTS state
            return rts_ ? cpo::kControlRtsOn : cpo::kControlRtsOff;
        case cpo::kControlDtrOn:
        case cpo::kControlDtrOff:
        case cpo::kControlRtsOn:
        case cpo::kControlRtsOff: {
            const bool dtrLine = request == cpo::kControlDtrOn || request == cpo::kControlDtrOff;
            (dtrLine ? dtr_ : rts_) =
                request == cpo::kControlDtrOn || request == cpo::kControlRtsOn;
            port.clientLines(now, dtr_, rts_);
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

}  // namespace platform
