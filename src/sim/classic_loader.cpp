// What the classic loader does with the bytes it receives: synchronisation, the frame and its
// checks, the command it carries, and the answer (or the fault that takes its place).
#include <algorithm>
#include <cstdio>

#include "sim/classic_loader.h"

namespace sim {

ClassicLoader::ClassicLoader(LoaderLine& line, const SimConfig& config, Memory& memory)
    : line_(line), config_(config), memory_(memory), ramWritten_(kRamEnd - kRamStart, false) {}

void ClassicLoader::start(std::uint64_t, bool replacement) {
    locked_ = !replacement;
    replacementRunning_ = replacement;
    abandonReception();
}

void ClassicLoader::abandonReception() {
    rxState_ = RxState::Idle;
    frame_.clear();
}

void ClassicLoader::reset() {
    abandonReception();
    muted_ = false;
    replacementRunning_ = false;
}

void ClassicLoader::timer(std::uint64_t t, int what, std::uint64_t arg) {
    switch (what) {
        case kLateSync:
            if (rxState_ == RxState::Frame && frame_.size() == 1 && lastRxNs_ == arg) {
                note(t, "lone 0x80 after a pause taken as synchronisation");
                acceptSync(t);
            }
            break;
        case kDiscardEnd:
            if (rxState_ == RxState::Discard && t >= lastRxNs_ + config_.discardPauseNs) {
                rxState_ = RxState::Idle;
                note(t, "malformed frame skipped; answered 0xA0");
                send(t, {kNack});
            }
            break;
        default: break;
    }
}

unsigned ClassicLoader::commandCount(int kind) const {
    return kind >= 0 && kind < static_cast<int>(counts_.size()) ? counts_[kind] : 0;
}

void ClassicLoader::acceptSync(std::uint64_t t) {
    unsigned n = ++counts_[kKindSync];
    const Fault* f = findAnswerFault(config_.faults, kKindSync, n);
    std::uint64_t at = t + config_.syncAnswerNs;
    rxState_ = RxState::Idle;
    frame_.clear();
    if (f && f->type != FaultType::Prefix && f->type != FaultType::MuteAfter) {
        applyAnswerFault(at, *f, 0);
        return;
    }
    if (f && f->type == FaultType::Prefix) send(at, f->bytes);
    send(at, {kAck});
    if (f && f->type == FaultType::MuteAfter) {
        muted_ = true;
        note(t, "loader falls silent");
    }
    rxState_ = RxState::Frame;
    lastRxNs_ = t;
}

void ClassicLoader::receive(std::uint64_t t, std::uint8_t byte) {
    if (muted_) return;
    const bool afterPause = t - lastRxNs_ > config_.frameTimeoutNs;
    if (rxState_ == RxState::Frame && !frame_.empty() && afterPause) {
        note(t, "frame abandoned after a pause");
        rxState_ = RxState::Idle;
        frame_.clear();
    }
    switch (rxState_) {
        case RxState::Idle:
            if (byte == kSync) {
                acceptSync(t);
            } else {
                note(t, "byte outside a frame ignored");
            }
            return;
        case RxState::Discard:
            lastRxNs_ = t;
            line_.setTimer(t + config_.discardPauseNs, kDiscardEnd);
            return;
        case RxState::Frame: break;
    }

    if (frame_.empty() && byte == kSync && afterPause && config_.lateSyncNs != 0) {
        // The loader waits for the header as long as it takes. A 0x80 after a long pause is that
        // header when the rest of the frame follows; this loader takes it, when nothing follows, as
        // a host trying to synchronise again (having missed the acknowledge) and acknowledges it.
        line_.setTimer(t + config_.lateSyncNs, kLateSync, t);
    }
    lastRxNs_ = t;
    frame_.push_back(byte);
    const std::size_t size = frame_.size();
    auto discard = [&](const char* why) {
        note(t, why);
        rxState_ = RxState::Discard;
        frame_.clear();
        line_.setTimer(t + config_.discardPauseNs, kDiscardEnd);
    };
    // The first byte after an acknowledged synchronisation is the frame's header, a second 0x80
    // included: a host that synchronises again without waiting for the acknowledge has started a
    // frame whose command byte is that 0x80.
    if (size == 1 && byte != kSync) return discard("frame without header byte 0x80");
    if (size == 4) {
        if (frame_[2] != frame_[3]) return discard("length bytes differ");
        if (frame_[2] < 4 || (frame_[2] & 1)) return discard("frame length not even or below 4");
    }
    if (size >= 4 && size == 4u + frame_[2] + 2u) frameComplete(t);
}

void ClassicLoader::frameComplete(std::uint64_t t) {
    rxState_ = RxState::Idle;
    const std::size_t size = frame_.size();
    const std::uint16_t sent =
        static_cast<std::uint16_t>(frame_[size - 2] | (frame_[size - 1] << 8));
    if (frameChecksum(frame_.data(), size - 2) != sent) {
        note(t, "checksum error: answered 0xA0");
        send(t + config_.frameAnswerNs, {kNack});
        return;
    }
    const std::uint8_t command = frame_[1];
    unsigned n = ++counts_[command];
    unsigned any = ++counts_[kKindAnyCommand];
    const Fault* f = findAnswerFault(config_.faults, command, n);
    if (!f) f = findAnswerFault(config_.faults, kKindAnyCommand, any);
    const std::uint64_t at = t + config_.frameAnswerNs;
    if (f && applyAnswerFault(at, *f, command)) return;
    execute(at);
    if (f && f->type == FaultType::MuteAfter) {
        muted_ = true;
        note(t, "loader falls silent");
    }
}

bool ClassicLoader::applyAnswerFault(std::uint64_t t, const Fault& f, std::uint8_t command) {
    const std::string what =
        "fault on " + std::string(command ? commandName(command) : "synchronisation") + ": ";
    switch (f.type) {
        case FaultType::Nack:
            note(t, what + "answered 0xA0");
            send(t, {kNack});
            return true;
        case FaultType::Stray:
            note(t, what + "answered " + hexByte(f.value));
            send(t, {f.value});
            return true;
        case FaultType::Mute: note(t, what + "no answer"); return true;
        case FaultType::LengthMismatch: {
            note(t, what + "data reply with different length bytes");
            std::vector<std::uint8_t> data;
            if (command == kCmdTxDataBlock && frame_.size() >= 8) {
                std::uint16_t address = static_cast<std::uint16_t>(frame_[4] | (frame_[5] << 8));
                std::uint16_t n = static_cast<std::uint16_t>(frame_[6] | (frame_[7] << 8));
                if (n <= 250 && readAllowed(address, n)) data = readBlock(address, n);
            }
            std::uint8_t l1 = static_cast<std::uint8_t>(data.size());
            sendDataReply(t, l1, static_cast<std::uint8_t>(l1 + 1), data);
            return true;
        }
        case FaultType::Stall:
            note(t, what + "stalls after 0x80");
            send(t, {kSync});
            return true;
        case FaultType::Prefix:
            note(t, what + "stray bytes before the answer");
            send(t, f.bytes);
            return false;
        default: return false;
    }
}

void ClassicLoader::execute(std::uint64_t t) {
    const std::uint8_t command = frame_[1];
    const unsigned dataCount = frame_[2] - 4u;
    const std::uint16_t address = static_cast<std::uint16_t>(frame_[4] | (frame_[5] << 8));
    const std::uint16_t length = static_cast<std::uint16_t>(frame_[6] | (frame_[7] << 8));
    const std::uint8_t* data = frame_.data() + 8;
    char text[96];
    std::snprintf(text, sizeof text, "%s at %04X, length %04X%s", commandName(command), address,
                  length, locked_ ? " (locked)" : "");
    note(t, text);
    auto refuse = [&](const char* why) {
        note(t, std::string("refused: ") + why);
        send(t, {kNack});
    };

    switch (command) {
        case kCmdRxPassword: {
            if (dataCount != 32) return refuse("password must be 32 bytes");
            bool match = std::equal(data, data + 32, memory_.begin() + kVectorTable);
            locked_ = !match;
            if (!match && erasesOnWrongPassword()) {
                // Loaders from 2.00 on guard the firmware by erasing it, unless the firmware
                // cleared the security key word below the vectors.
                note(t, "wrong password: the loader erases the flash");
                massErase();
                note(t, "refused: wrong password");
                send(t + config_.massEraseNs, {kNack});
                return;
            }
            if (!match) return refuse("wrong password");
            note(t, "unlocked");
            send(t, {kAck});
            return;
        }
        case kCmdTxVersion: {
            // Loaders from 1.50 on tell their version without a password: the top 16 bytes of
            // the loader ROM, chip type and version among them. Older ones do not know the
            // command.
            if (versionBcd() < 0x0150) return refuse("unknown command");
            sendDataReply(t, 16, 16, readBlock(kIdentification, 16));
            return;
        }
        case kCmdMassErase: {
            if (dataCount != 0) return refuse("unexpected data");
            if (length != 0xA506) return refuse("mass erase needs A506 in the length field");
            massErase();
            send(t + config_.massEraseNs, {kAck});
            return;
        }
        default: break;
    }
    if (locked_) return refuse("loader locked");

    switch (command) {
        case kCmdRxDataBlock: {
            if (length != dataCount) return refuse("length field differs from the data carried");
            if ((address & 1) || (length & 1)) return refuse("odd address or length");
            if (!readAllowed(address, length)) return refuse("block runs past FFFF");
            for (unsigned i = 0; i < length; ++i)
                writeMemory(static_cast<std::uint16_t>(address + i), data[i]);
            send(t + config_.writeNsPerByte * length, {kAck});
            return;
        }
        case kCmdTxDataBlock: {
            if (dataCount != 0) return refuse("unexpected data");
            if (length > 250) return refuse("more than 250 bytes asked for");
            if (!readAllowed(address, length)) return refuse("block runs past FFFF");
            const auto l = static_cast<std::uint8_t>(length);
            sendDataReply(t, l, l, readBlock(address, length));
            return;
        }
        case kCmdLoadPc: {
            if (dataCount != 0) return refuse("unexpected data");
            std::uint64_t end = send(t, {kAck});
            if (address == kLoaderWarmStart || address == kLoaderColdStart) {
                line_.restartLoader(end);
            } else if (inRam(address) && ramWritten(address)) {
                line_.startLoaderInRam(end);
            } else {
                line_.leaveLoader(end, address);
            }
            return;
        }
        case kCmdChangeBaud: {
            if (dataCount != 0) return refuse("unexpected data");
            const SpeedSetting& s = speedSetting(config_.invertTest);
            if (address != s.clock || length != s.code)
                return refuse("clock setting or rate code not supported");
            std::uint64_t end = send(t, {kAck});
            if (config_.fakeBaudChange) {
                note(t, "fault: speed change acknowledged but not made");
            } else {
                line_.changeBaud(end, s.baud);
            }
            return;
        }
        default: return refuse("unknown command");
    }
}

std::uint64_t ClassicLoader::sendDataReply(std::uint64_t t, std::uint8_t l1, std::uint8_t l2,
                                       const std::vector<std::uint8_t>& data) {
    // Header, the two length bytes, the data and the checksum.
    std::vector<std::uint8_t> reply(4 + data.size() + 2);
    reply[0] = kSync;
    reply[1] = 0x00;
    reply[2] = l1;
    reply[3] = l2;
    std::copy(data.begin(), data.end(), reply.begin() + 4);
    const std::uint16_t ck = frameChecksum(reply.data(), 4 + data.size());
    reply[4 + data.size()] = static_cast<std::uint8_t>(ck);
    reply[5 + data.size()] = static_cast<std::uint8_t>(ck >> 8);
    return send(t, reply);
}

// ---- memory ----

bool ClassicLoader::readAllowed(std::uint32_t address, std::size_t count) const {
    return address + count <= 0x10000;
}

std::uint8_t ClassicLoader::readMemory(std::uint16_t address) const {
    std::uint8_t value = memory_[address];
    if (replacementRunning_ && address == kLoaderVersionMajor) value = config_.replacementMajor;
    if (replacementRunning_ && address == kLoaderVersionMinor) value = config_.replacementMinor;
    return corruptRead(config_.faults, address, value);
}

std::vector<std::uint8_t> ClassicLoader::readBlock(std::uint16_t address, unsigned count) const {
    std::vector<std::uint8_t> bytes;
    for (unsigned i = 0; i < count; ++i)
        bytes.push_back(readMemory(static_cast<std::uint16_t>(address + i)));
    return bytes;
}

void ClassicLoader::writeMemory(std::uint16_t address, std::uint8_t byte) {
    if (inRam(address)) {
        memory_[address] = byte;
        ramWritten_[address - kRamStart] = true;
    } else if (inFlash(address)) {
        memory_[address] &= byte;  // programming only clears bits
    } else if (address < kRamStart) {
        memory_[address] = byte;  // peripheral registers
    }
    // Loader ROM and unused space: ignored.
}

void ClassicLoader::massErase() {
    std::fill(memory_.begin() + kInfoFlashStart, memory_.end(), 0xFF);
    note(line_.now(), "flash erased");
}

unsigned ClassicLoader::versionBcd() const {
    if (replacementRunning_) return static_cast<unsigned>(config_.replacementMajor) << 8 | config_.replacementMinor;
    return static_cast<unsigned>(memory_[kLoaderVersionMajor]) << 8 | memory_[kLoaderVersionMinor];
}

bool ClassicLoader::erasesOnWrongPassword() const {
    const unsigned key = memory_[kSecurityKey] | static_cast<unsigned>(memory_[kSecurityKey + 1]) << 8;
    return versionBcd() >= 0x0200 && key != 0x0000;
}

bool ClassicLoader::ramWritten(std::uint16_t address) const {
    return inRam(address) && ramWritten_[address - kRamStart];
}

}  // namespace sim
