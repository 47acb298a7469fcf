#include "platform/network/telnet_stream.h"

namespace platform::telnet {

void appendData(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (data[i] == kIac) out.push_back(kIac);
        out.push_back(data[i]);
    }
}

void appendNegotiation(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
    out.insert(out.end(), {kIac, verb, option});
}

void appendComPort(std::vector<std::uint8_t>& out, std::uint8_t command, const std::uint8_t* value,
                   std::size_t count) {
    out.insert(out.end(), {kIac, kSb, kOptComPort});
    appendData(out, &command, 1);
    appendData(out, value, count);
    out.insert(out.end(), {kIac, kSe});
}

void appendComPort(std::vector<std::uint8_t>& out, std::uint8_t command, std::uint8_t value) {
    appendComPort(out, command, &value, 1);
}

std::array<std::uint8_t, 4> baudRateValue(std::uint32_t baud) {
    return {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
            static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
}

bool readBaudRate(const std::uint8_t* value, std::size_t count, std::uint32_t& baud) {
    if (count != 4) return false;
    baud = std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 |
           std::uint32_t{value[2]} << 8 | value[3];
    return true;
}

Decoder::Event Decoder::push(std::uint8_t byte) {
    switch (state_) {
        case State::Data:
            if (byte == kIac) {
                state_ = State::Iac;
                return Event::None;
            }
            data_ = byte;
            return Event::Data;
        case State::Iac: return afterIac(byte);
        case State::Option:
            state_ = State::Data;
            command_.option = byte;
            return Event::Command;
        case State::Sub:
            if (byte == kIac) {
                state_ = State::SubIac;
                return Event::None;
            }
            break;
        case State::SubIac:
            if (byte == kSe) {
                state_ = State::Data;
                // IAC SB IAC SE names no option: nothing to report.
                return subHasOption_ ? Event::Command : Event::None;
            }
            if (byte != kIac) {
                // A command inside a subnegotiation: the peer never ended it. Drop it and take the
                // command as if the subnegotiation had not begun.
                return afterIac(byte);
            }
            state_ = State::Sub;
            break;  // IAC IAC: a value byte 0xFF
    }
    // A byte of the subnegotiation: its option first, then its value.
    if (!subHasOption_) {
        subHasOption_ = true;
        command_.option = byte;
    } else if (command_.size < Command::kMaxValue) {
        command_.value[command_.size++] = byte;
    } else {
        command_.truncated = true;
    }
    return Event::None;
}

Decoder::Event Decoder::afterIac(std::uint8_t byte) {
    state_ = State::Data;
    command_.verb = byte;
    command_.option = 0;
    command_.size = 0;
    command_.truncated = false;
    if (byte == kIac) {
        data_ = kIac;
        return Event::Data;
    }
    if (byte >= kWill) {
        state_ = State::Option;
        return Event::None;
    }
    if (byte == kSb) {
        state_ = State::Sub;
        subHasOption_ = false;
        return Event::None;
    }
    if (byte >= kSe) return Event::Command;
    // IAC before a byte that is no command: a peer that failed to double a data 0xFF. Keep the
    // byte that follows rather than lose both.
    data_ = byte;
    return Event::Data;
}

OptionPolicy::OptionPolicy(std::vector<std::uint8_t> localAccepted,
                           std::vector<std::uint8_t> remoteAccepted) {
    for (std::uint8_t option : localAccepted) localAccepted_[option] = true;
    for (std::uint8_t option : remoteAccepted) remoteAccepted_[option] = true;
}

void OptionPolicy::requestLocal(std::vector<std::uint8_t>& out, std::uint8_t option) {
    if (local_[option] != Q::No) return;
    local_[option] = Q::WantYes;
    appendNegotiation(out, kWill, option);
}

void OptionPolicy::requestRemote(std::vector<std::uint8_t>& out, std::uint8_t option) {
    if (remote_[option] != Q::No) return;
    remote_[option] = Q::WantYes;
    appendNegotiation(out, kDo, option);
}

void OptionPolicy::receive(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
    switch (verb) {
        case kWill:
        case kWont:
            take(out, remote_[option], verb == kWill, remoteAccepted_[option], kDo, kDont, option);
            break;
        case kDo:
        case kDont:
            take(out, local_[option], verb == kDo, localAccepted_[option], kWill, kWont, option);
            break;
        default: break;
    }
}

// One side of one option. `enable` is the peer's WILL/DO, otherwise its WONT/DONT; `yes`/`no` are
// the verbs our answer uses.
void OptionPolicy::take(std::vector<std::uint8_t>& out, Q& state, bool enable, bool accepted,
                        std::uint8_t yes, std::uint8_t no, std::uint8_t option) {
    if (enable) {
        switch (state) {
            case Q::No:
                state = accepted ? Q::Yes : Q::No;
                appendNegotiation(out, accepted ? yes : no, option);
                break;
            case Q::WantYes:  // the answer to our request
                state = Q::Yes;
                break;
            case Q::WantNo:  // refused our refusal: leave it off, do not argue
                state = Q::No;
                break;
            case Q::Yes: break;
        }
    } else {
        if (state == Q::Yes) appendNegotiation(out, no, option);
        state = Q::No;
    }
}

}  // namespace platform::telnet
