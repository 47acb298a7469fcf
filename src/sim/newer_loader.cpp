// What the newer families' loader does with the bytes it receives: the packet and its checks,
// the acknowledge, the core command and its reply (or the fault that takes its place).
#include "sim/newer_loader.h"

#include <algorithm>
#include <cstdio>

#include "sim/chip.h"
#include "sim/trace.h"

namespace sim {

namespace newer {

std::uint16_t crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc) {
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::uint32_t baudForCode(std::uint8_t code) {
    switch (code) {
        case 0x02: return 9600;
        case 0x03: return 19200;
        case 0x04: return 38400;
        case 0x05: return 57600;
        case 0x06: return 115200;
        default: return 0;
    }
}

}  // namespace newer

using namespace newer;

namespace {

enum Timer { kDiscardEnd };

// A command a fault setting names (by the classic loader's code) as this family's command.
int familyKind(const Fault& f) {
    if (!f.kindByName) return f.kind;
    switch (f.kind) {
        case kCmdRxPassword: return kRxPassword;
        case kCmdRxDataBlock: return kRxDataBlock;
        case kCmdTxDataBlock: return kTxDataBlock;
        case kCmdMassErase: return kMassErase;
        case kCmdLoadPc: return kLoadPc;
        case kCmdChangeBaud: return kChangeBaud;
        case kKindAnyCommand: return kKindAnyCommand;
        default: return -1;  // no synchronisation in this family
    }
}

const char* commandText(std::uint8_t c) {
    switch (c) {
        case kRxDataBlock: return "RX data block";
        case kRxDataBlockFast: return "RX data block fast";
        case kRxPassword: return "RX password";
        case kEraseSegment: return "Erase segment";
        case kToggleInfo: return "Toggle INFO_A lock";
        case kMassErase: return "Mass erase";
        case kCrcCheck: return "CRC check";
        case kLoadPc: return "Load PC";
        case kTxDataBlock: return "TX data block";
        case kTxVersion: return "TX version";
        case kTxBufferSize: return "TX buffer size";
        case kChangeBaud: return "Change baud rate";
        default: return "unknown command";
    }
}

std::uint32_t address24(const std::vector<std::uint8_t>& core) {
    return core[1] | (core[2] << 8) | (static_cast<std::uint32_t>(core[3]) << 16);
}

}  // namespace

NewerLoader::NewerLoader(LoaderLine& line, const SimConfig& config, const NewerChip& chip)
    : line_(line), config_(config), chip_(chip),
      memory_(std::max<std::uint32_t>(chip.mainEnd, 0x10000), 0xFF) {
    // Peripherals and RAM read zero; the loader's own area holds code (not modelled); the
    // descriptor carries the device ID.
    std::fill(memory_.begin(), memory_.begin() + kNewerLoaderStart, 0x00);
    std::fill(memory_.begin() + chip.ramStart, memory_.begin() + chip.ramEnd, 0x00);
    std::fill(memory_.begin() + kNewerLoaderStart, memory_.begin() + kNewerLoaderEnd, 0x3F);
    memory_[kNewerDescriptor] = 0x06;  // the descriptor's info block: 6 words
    memory_[kNewerDescriptor + 1] = 0x06;
    memory_[kNewerDeviceId] = static_cast<std::uint8_t>(chip.deviceId);
    memory_[kNewerDeviceId + 1] = static_cast<std::uint8_t>(chip.deviceId >> 8);
    const std::uint16_t crc =
        crc16(memory_.data() + kNewerDeviceId, kNewerDescriptor + 0x10 - kNewerDeviceId);
    memory_[kNewerDescriptor + 2] = static_cast<std::uint8_t>(crc);
    memory_[kNewerDescriptor + 3] = static_cast<std::uint8_t>(crc >> 8);
}

platform::LineFormat NewerLoader::lineFormat() const { return kLoaderFormat; }

void NewerLoader::start(std::uint64_t, bool) {
    locked_ = true;
    infoALocked_ = true;
    abandonReception();
}

void NewerLoader::abandonReception() {
    rx_ = Rx::Header;
    core_.clear();
    sendingUntil_ = 0;  // the chip's pending output went with it
}

void NewerLoader::reset() {
    abandonReception();
    muted_ = false;
}

unsigned NewerLoader::commandCount(int kind) const {
    return kind >= 0 && kind < static_cast<int>(counts_.size()) ? counts_[kind] : 0;
}

void NewerLoader::timer(std::uint64_t t, int what, std::uint64_t) {
    if (what == kDiscardEnd && rx_ == Rx::Discard && t >= lastRxNs_ + config_.discardPauseNs) {
        note(t, "rest of the packet skipped");
        rx_ = Rx::Header;
    }
}

void NewerLoader::skipRest(std::uint64_t t, std::uint8_t ack, const char* why) {
    // The loader answers at once and takes nothing more until the line has been quiet a while,
    // so the rest of a packet it refused is not read as new packets.
    note(t, std::string(why) + ": answered " + hexByte(ack));
    sendAck(t + config_.frameAnswerNs, ack);
    core_.clear();
    rx_ = Rx::Discard;
    line_.setTimer(t + config_.discardPauseNs, kDiscardEnd);
}

void NewerLoader::receive(std::uint64_t t, std::uint8_t byte) {
    if (muted_) return;
    if (t < sendingUntil_) {
        // Half duplex: the loader listens again only when its answer is out.
        note(t, "loader busy sending: byte lost");
        return;
    }
    if (rx_ != Rx::Header && rx_ != Rx::Discard && t - lastRxNs_ > config_.frameTimeoutNs) {
        note(t, "packet abandoned after a pause");
        abandonReception();
    }
    lastRxNs_ = t;
    switch (rx_) {
        case Rx::Discard: line_.setTimer(t + config_.discardPauseNs, kDiscardEnd); return;
        case Rx::Header:
            if (byte != kHeader) {
                note(t, "byte other than the header 0x80: answered 0x51");
                sendAck(t + config_.frameAnswerNs, kAckHeader);
                return;
            }
            rx_ = Rx::LengthLow;
            return;
        case Rx::LengthLow:
            coreLength_ = byte;
            rx_ = Rx::LengthHigh;
            return;
        case Rx::LengthHigh:
            coreLength_ |= static_cast<std::size_t>(byte) << 8;
            if (coreLength_ == 0) return skipRest(t, kAckLengthZero, "packet length 0");
            if (coreLength_ > chip_.bufferSize)
                return skipRest(t, kAckLengthOver, "packet longer than the buffer");
            core_.clear();
            rx_ = Rx::Core;
            return;
        case Rx::Core:
            core_.push_back(byte);
            if (core_.size() == coreLength_) rx_ = Rx::CrcLow;
            return;
        case Rx::CrcLow:
            crc_ = byte;
            rx_ = Rx::CrcHigh;
            return;
        case Rx::CrcHigh:
            crc_ = static_cast<std::uint16_t>(crc_ | (byte << 8));
            rx_ = Rx::Header;
            packetComplete(t);
            return;
    }
}

const Fault* NewerLoader::answerFault(std::uint8_t command, unsigned count,
                                      unsigned anyCount) const {
    for (const Fault& f : config_.faults)
        if (isAnswerFault(f.type) && familyKind(f) == command && f.hits(count)) return &f;
    for (const Fault& f : config_.faults)
        if (isAnswerFault(f.type) && familyKind(f) == kKindAnyCommand && f.hits(anyCount))
            return &f;
    return nullptr;
}

void NewerLoader::packetComplete(std::uint64_t t) {
    const std::uint64_t at = t + config_.frameAnswerNs;
    if (crc16(core_.data(), core_.size()) != crc_) {
        note(t, "checksum error: answered 0x52");
        sendAck(at, kAckChecksum);
        return;
    }
    const std::uint8_t command = core_[0];
    const unsigned n = ++counts_[command];
    const unsigned any = ++counts_[kKindAnyCommand];
    const Fault* f = answerFault(command, n, any);
    const std::string what = std::string("fault on ") + commandText(command) + ": ";
    replyLengthWrong_ = f && f->type == FaultType::LengthMismatch;
    replyCrcWrong_ = f && f->type == FaultType::BadCrc;
    if (f) {
        switch (f->type) {
            case FaultType::Nack:
                note(at, what + "answered 0x55");
                sendAck(at, kAckUnknown);
                return;
            case FaultType::Stray:
                note(at, what + "answered " + hexByte(f->value));
                sendAck(at, f->value);
                return;
            case FaultType::Mute: note(at, what + "no answer"); return;
            case FaultType::Stall:
                note(at, what + "stalls after 0x80");
                send(at, {kAckOk, kHeader});
                return;
            case FaultType::Message:
                note(at, what + "message " + hexByte(f->value));
                sendMessage(sendAck(at, kAckOk), f->value);
                return;
            case FaultType::Prefix:
                note(at, what + "stray bytes before the answer");
                send(at, f->bytes);
                break;
            default: break;
        }
    }
    execute(at);
    if (f && f->type == FaultType::MuteAfter) {
        muted_ = true;
        note(t, "loader falls silent");
    }
}

void NewerLoader::execute(std::uint64_t t) {
    const std::uint8_t command = core_[0];
    const std::size_t size = core_.size();
    char text[96];
    std::snprintf(text, sizeof text, "%s, %zu core bytes%s", commandText(command), size,
                  locked_ ? " (locked)" : "");
    note(t, text);

    if (command == kChangeBaud) {
        // Answered by the acknowledge alone, at the old speed; the new one follows it.
        const std::uint32_t baud = size == 2 ? baudForCode(core_[1]) : 0;
        if (baud == 0) {
            note(t, "speed code unknown: answered 0x56");
            sendAck(t, kAckBaud);
            return;
        }
        const std::uint64_t end = sendAck(t, kAckOk);
        if (config_.fakeBaudChange)
            note(t, "fault: speed change acknowledged but not made");
        else
            line_.changeBaud(end, baud);
        return;
    }
    const std::uint64_t at = sendAck(t, kAckOk);
    const bool flash = chip_.kind == NewerKind::Flash;
    // The size of the core each command takes: its code, the address and what follows.
    auto sized = [&](std::size_t expected) { return size == expected; };
    auto refuse = [&](std::uint8_t message, const char* why) {
        note(t, std::string("refused: ") + why);
        sendMessage(at, message);
    };

    switch (command) {
        case kRxPassword: {
            if (!sized(33)) return refuse(kMsgUnknownCommand, "password must be 32 bytes");
            const bool match =
                std::equal(core_.begin() + 1, core_.end(), memory_.begin() + kNewerPassword);
            if (match) {
                locked_ = false;
                note(t, "unlocked");
                sendMessage(at, kMsgOk);
                return;
            }
            locked_ = true;
            eraseCode(t, "wrong password");
            sendMessage(at, kMsgPassword);
            return;
        }
        case kMassErase:
            if (!sized(1)) return refuse(kMsgUnknownCommand, "unexpected bytes");
            eraseCode(t, "mass erase");
            // The FR5xx/FR6xx loader does not answer it.
            if (chip_.kind != NewerKind::Fram) sendMessage(at + config_.massEraseNs, kMsgOk);
            return;
        case kRxDataBlock:
        case kRxDataBlockFast:
        case kEraseSegment:
        case kToggleInfo:
        case kCrcCheck:
        case kLoadPc:
        case kTxDataBlock:
        case kTxVersion:
        case kTxBufferSize: break;
        default: return refuse(kMsgUnknownCommand, "unknown command");
    }
    if (locked_) return refuse(kMsgLocked, "loader locked");

    switch (command) {
        case kRxDataBlock:
        case kRxDataBlockFast: {
            if (size < 4) return refuse(kMsgUnknownCommand, "no address");
            const std::uint8_t message = writeBlock(address24(core_), core_.data() + 4, size - 4);
            if (command == kRxDataBlock)
                sendMessage(at + config_.writeNsPerByte * (size - 4), message);
            else if (message != kMsgOk)
                note(t, "write failed, unanswered: message " + hexByte(message));
            return;
        }
        case kEraseSegment:
            if (!flash) return refuse(kMsgUnknownCommand, "no segments in FRAM");
            if (!sized(4)) return refuse(kMsgUnknownCommand, "address expected");
            sendMessage(at, eraseSegment(address24(core_)));
            return;
        case kToggleInfo:
            if (!flash) return refuse(kMsgUnknownCommand, "no INFO_A lock in FRAM");
            if (!sized(1)) return refuse(kMsgUnknownCommand, "unexpected bytes");
            infoALocked_ = !infoALocked_;
            note(t, infoALocked_ ? "INFO_A locked" : "INFO_A unlocked");
            sendMessage(at, kMsgOk);
            return;
        case kCrcCheck:
        case kTxDataBlock: {
            if (!sized(6)) return refuse(kMsgUnknownCommand, "address and length expected");
            const std::uint32_t address = address24(core_);
            const std::size_t length = core_[4] | (core_[5] << 8);
            const std::size_t most = chip_.bufferSize - 1u;
            if (command == kTxDataBlock && length > most && flash)
                return refuse(kMsgLengthOver, "more than the buffer");
            std::vector<std::uint8_t> data;
            for (std::size_t i = 0; i < length; ++i)
                data.push_back(readByte(static_cast<std::uint32_t>(address + i)));
            if (command == kCrcCheck) {
                const std::uint16_t crc = crc16(data.data(), data.size());
                sendPacket(at, {kReplyData, static_cast<std::uint8_t>(crc),
                                static_cast<std::uint8_t>(crc >> 8)});
                return;
            }
            // FRAM parts send a long read in as many packets as it takes.
            std::uint64_t end = at;
            std::size_t from = 0;
            do {
                const std::size_t n = std::min(most, length - from);
                std::vector<std::uint8_t> reply(n + 1);
                reply[0] = kReplyData;
                std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), n, reply.begin() + 1);
                end = sendPacket(end, reply);
                from += n;
            } while (from < length);
            return;
        }
        case kLoadPc: {
            if (!sized(4)) return refuse(kMsgUnknownCommand, "address expected");
            line_.leaveLoader(at, address24(core_));
            return;
        }
        case kTxVersion: {
            if (!sized(1)) return refuse(kMsgUnknownCommand, "unexpected bytes");
            std::vector<std::uint8_t> reply(chip_.version.size() + 1);
            reply[0] = kReplyData;
            std::copy(chip_.version.begin(), chip_.version.end(), reply.begin() + 1);
            sendPacket(at, reply);
            return;
        }
        case kTxBufferSize:
            if (!sized(1)) return refuse(kMsgUnknownCommand, "unexpected bytes");
            sendPacket(at, {kReplyData, static_cast<std::uint8_t>(chip_.bufferSize),
                            static_cast<std::uint8_t>(chip_.bufferSize >> 8)});
            return;
        default: return;
    }
}

std::uint64_t NewerLoader::sendAck(std::uint64_t t, std::uint8_t ack) { return send(t, {ack}); }

std::uint64_t NewerLoader::send(std::uint64_t t, const std::vector<std::uint8_t>& bytes) {
    const std::uint64_t end = line_.send(t, bytes);
    sendingUntil_ = std::max(sendingUntil_, end);
    return end;
}

std::uint64_t NewerLoader::sendMessage(std::uint64_t t, std::uint8_t message) {
    return sendPacket(t, {kReplyMessage, message});
}

std::uint64_t NewerLoader::sendPacket(std::uint64_t t, const std::vector<std::uint8_t>& core) {
    const std::size_t n = core.size() + (replyLengthWrong_ ? 1 : 0);
    std::vector<std::uint8_t> packet;
    packet.reserve(core.size() + 5);
    packet.push_back(kHeader);
    packet.push_back(static_cast<std::uint8_t>(n));
    packet.push_back(static_cast<std::uint8_t>(n >> 8));
    for (std::uint8_t b : core) packet.push_back(b);
    std::uint16_t crc = crc16(core.data(), core.size());
    if (replyCrcWrong_) crc = static_cast<std::uint16_t>(crc ^ 0x0101);
    packet.push_back(static_cast<std::uint8_t>(crc));
    packet.push_back(static_cast<std::uint8_t>(crc >> 8));
    return send(t, packet);
}

}  // namespace sim
