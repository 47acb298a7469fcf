#include "sim/sim_target.h"

#include <algorithm>
#include <cinttypes>

namespace sim {
namespace {

const platform::LineFormat kLoaderFormat{9600, 8, k32::EVENPARITY, k32::ONESTOPBIT};

// The clock settings each board's loader accepts for Change baud rate, with the rate code and the
// resulting speed. Boards with the inverted TEST wiring carry the other chip family, whose clock
// system wants the other setting.
struct BaudSetting {
    std::uint16_t clock;
    std::uint16_t code;
    std::uint32_t baud;
};
constexpr BaudSetting kNormalBaud{0x87E0, 2, 38400};
constexpr BaudSetting kInvertedBaud{0x8C80, 2, 38400};

// The older firmware a chip comes with: a few words of code, a little calibration data and its
// reset vector, so that erasing is visible and a normal reset runs something.
void loadFactoryContents(std::array<std::uint8_t, 0x10000>& m) {
    const std::uint8_t code[] = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A, 0x20, 0x01,
                                 0xFF, 0x3F, 0x4F, 0x4C, 0x44, 0x20, 0x46, 0x57, 0x00, 0x00};
    std::copy(std::begin(code), std::end(code), m.begin() + 0xE000);
    const std::uint8_t calibration[] = {0x5A, 0x3C, 0x12, 0x87, 0x40, 0x01, 0x00, 0x7F};
    std::copy(std::begin(calibration), std::end(calibration), m.begin() + kInfoFlashStart);
    m[kResetVector] = 0x00;
    m[kResetVector + 1] = 0xE0;
}

bool inRam(std::uint32_t a) { return a >= kRamStart && a < kRamEnd; }
bool inFlash(std::uint32_t a) { return a >= kInfoFlashStart && a < kMainFlashEnd; }

std::string hexByte(std::uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

std::string formatName(const platform::LineFormat& f) {
    const char parity[] = "NOEMS";
    const char* stop = f.stopBits == k32::ONE5STOPBITS ? "1.5" : f.stopBits == k32::TWOSTOPBITS ? "2" : "1";
    char text[48];
    std::snprintf(text, sizeof text, "%u %u%c%s", static_cast<unsigned>(f.baud), static_cast<unsigned>(f.dataBits),
                  f.parity < 5 ? parity[f.parity] : '?', stop);
    return text;
}

const char* commandName(std::uint8_t c) {
    switch (c) {
        case kCmdRxPassword: return "RX password";
        case kCmdRxDataBlock: return "RX data block";
        case kCmdTxDataBlock: return "TX data block";
        case kCmdMassErase: return "Mass erase";
        case kCmdLoadPc: return "Load PC";
        case kCmdChangeBaud: return "Change baud rate";
        default: return "unknown command";
    }
}

bool isAnswerFault(FaultType t) {
    switch (t) {
        case FaultType::Nack:
        case FaultType::Stray:
        case FaultType::Mute:
        case FaultType::LengthMismatch:
        case FaultType::Stall:
        case FaultType::MuteAfter:
        case FaultType::Prefix: return true;
        default: return false;
    }
}

}  // namespace

std::optional<std::uint8_t> decodeCharacter(std::uint8_t byte, const platform::LineFormat& tx,
                                            const platform::LineFormat& rx) {
    if (tx == rx) return byte;
    if (tx.baud == 0 || rx.baud == 0) return std::nullopt;

    // The sender's levels, bit by bit; after them the line idles high.
    std::vector<int> levels;
    levels.push_back(0);
    int ones = 0;
    for (unsigned i = 0; i < tx.dataBits; ++i) {
        int bit = (byte >> i) & 1;
        ones += bit;
        levels.push_back(bit);
    }
    switch (tx.parity) {
        case k32::EVENPARITY: levels.push_back(ones & 1); break;
        case k32::ODDPARITY: levels.push_back((ones & 1) ^ 1); break;
        case k32::MARKPARITY: levels.push_back(1); break;
        case k32::SPACEPARITY: levels.push_back(0); break;
        default: break;
    }
    // The middle of the receiver's bit i lies in the sender's bit (2i + 1) * txBaud / (2 * rxBaud).
    auto sample = [&](unsigned i) {
        std::uint64_t index = (2ull * i + 1) * tx.baud / (2ull * rx.baud);
        return index < levels.size() ? levels[index] : 1;
    };

    if (sample(0) != 0) return std::nullopt;
    unsigned position = 1;
    unsigned value = 0;
    int received = 0;
    for (unsigned i = 0; i < rx.dataBits; ++i, ++position) {
        int bit = sample(position);
        received += bit;
        value |= static_cast<unsigned>(bit) << i;
    }
    if (rx.parity != k32::NOPARITY) {
        int bit = sample(position++);
        int expected = 0;
        switch (rx.parity) {
            case k32::EVENPARITY: expected = received & 1; break;
            case k32::ODDPARITY: expected = (received & 1) ^ 1; break;
            case k32::MARKPARITY: expected = 1; break;
            default: expected = 0; break;
        }
        if (bit != expected) return std::nullopt;  // parity error
    }
    if (sample(position) != 1) return std::nullopt;  // framing error
    return static_cast<std::uint8_t>(value);
}

std::uint16_t frameChecksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t even = 0, odd = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i & 1) odd ^= bytes[i];
        else even ^= bytes[i];
    }
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(~even) | (static_cast<std::uint8_t>(~odd) << 8));
}

SimTarget::SimTarget(SimConfig config) : config_(std::move(config)), ramWritten_(kRamEnd - kRamStart, false) {
    memory_.fill(0xFF);
    std::fill(memory_.begin(), memory_.begin() + kRamStart, 0x00);  // peripheral registers
    // Unused space between RAM and the loader ROM reads as zero; the ROM holds code (not modelled)
    // and the identification block.
    std::fill(memory_.begin() + kRamEnd, memory_.begin() + kRomEnd, 0x00);
    memory_[kIdentification + 0] = static_cast<std::uint8_t>(config_.chipType >> 8);
    memory_[kIdentification + 1] = static_cast<std::uint8_t>(config_.chipType);
    memory_[kIdentification + 10] = config_.versionMajor;
    memory_[kIdentification + 11] = config_.versionMinor;
    if (!config_.blankFlash) loadFactoryContents(memory_);
    testPulse_ = config_.invertTest;  // RTS starts clear
    if (!config_.tracePath.empty()) traceFile_ = std::fopen(config_.tracePath.c_str(), "w");
}

SimTarget::~SimTarget() {
    if (traceFile_) std::fclose(traceFile_);
}

// ---- time and scheduling ----

void SimTarget::powerOnIfNeeded(std::uint64_t t) {
    if (powered_) return;
    powered_ = true;
    nowNs_ = t;
    testRestSince_ = t;
    txFreeNs_ = t;
    note(t, "power on");
    if (config_.startInLoader) {
        startLoader(t);
    } else {
        releaseReset(t);
    }
}

void SimTarget::schedule(std::uint64_t at, int what, std::uint64_t arg) {
    actions_.push_back({at, actionSerial_++, what, arg});
}

void SimTarget::runTo(std::uint64_t t) {
    for (;;) {
        bool haveTx = txNext_ < tx_.size() && tx_[txNext_].startNs <= t;
        auto earliest = actions_.end();
        for (auto it = actions_.begin(); it != actions_.end(); ++it) {
            if (it->atNs > t) continue;
            if (earliest == actions_.end() || it->atNs < earliest->atNs ||
                (it->atNs == earliest->atNs && it->serial < earliest->serial))
                earliest = it;
        }
        bool haveAction = earliest != actions_.end();
        if (!haveTx && !haveAction) break;
        if (haveTx && (!haveAction || tx_[txNext_].startNs <= earliest->atNs)) {
            // A byte starts on the wire: the host's receiver decodes it in the host's format of now.
            const TxByte& b = tx_[txNext_++];
            nowNs_ = std::max(nowNs_, b.startNs);
            std::uint64_t arrival = b.startNs + b.format.characterNs();
            TraceEntry e;
            e.timeNs = arrival;
            e.kind = TraceEntry::Kind::ModelByte;
            e.byte = b.byte;
            if (!b.lost && link_) {
                e.received = decodeCharacter(b.byte, b.format, link_->hostFormat());
                if (e.received) link_->deliver(arrival, *e.received);
            }
            if (b.lost) e.text = "lost on the line";
            record(std::move(e));
            if (txNext_ == tx_.size()) {
                tx_.clear();
                txNext_ = 0;
            }
        } else {
            Action a = *earliest;
            actions_.erase(earliest);
            nowNs_ = std::max(nowNs_, a.atNs);
            runAction(a);
        }
    }
    nowNs_ = std::max(nowNs_, t);
}

void SimTarget::runAction(const Action& a) {
    const std::uint64_t t = a.atNs;
    switch (a.what) {
        case kStartApp: startApplication(t); break;
        case kSwitchBaud: {
            platform::LineFormat f = format_;
            f.baud = static_cast<std::uint32_t>(a.arg);
            setFormat(t, f);
            break;
        }
        case kRestartRom:
            note(t, "loader restarted from its ROM entry, locked");
            enterLoader(t, false, t);
            break;
        case kStartReplacement:
            note(t, "replacement loader started in RAM");
            enterLoader(t, true, t);
            break;
        case kLeaveLoader: {
            char text[64];
            std::snprintf(text, sizeof text, "left the loader for %04X", static_cast<unsigned>(a.arg));
            note(t, text);
            if (inFlash(static_cast<std::uint32_t>(a.arg)) && memory_[a.arg] != 0xFF) {
                startApplication(t);
            } else {
                setMode(t, Mode::Silent, "nothing runs there");
            }
            break;
        }
        case kLateSync:
            if (rxState_ == RxState::Frame && frame_.size() == 1 && lastRxNs_ == a.arg) {
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

void SimTarget::advanceTo(std::uint64_t t) {
    powerOnIfNeeded(t);
    runTo(t);
}

std::optional<std::uint64_t> SimTarget::nextEventTime() {
    std::optional<std::uint64_t> next;
    if (txNext_ < tx_.size()) next = tx_[txNext_].startNs;
    for (const Action& a : actions_) {
        if (!next || a.atNs < *next) next = a.atNs;
    }
    return next;
}

void SimTarget::cancelActivity() {
    if (txNext_ < tx_.size()) note(nowNs_, "unsent bytes dropped");
    tx_.clear();
    txNext_ = 0;
    txFreeNs_ = nowNs_;
    actions_.clear();
    rxState_ = RxState::Idle;
    frame_.clear();
}

void SimTarget::setMode(std::uint64_t t, Mode mode, const char* why) {
    mode_ = mode;
    if (why) note(t, why);
}

void SimTarget::setFormat(std::uint64_t t, const platform::LineFormat& f) {
    if (f == format_) return;
    format_ = f;
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::ModelFormat;
    e.format = f;
    record(std::move(e));
}

// ---- lines, entry and what runs ----

void SimTarget::hostLines(std::uint64_t t, bool dtr, bool rts) {
    t = std::max(t, nowNs_);
    powerOnIfNeeded(t);
    runTo(t);
    if (dtr == dtr_ && rts == rts_) return;
    dtr_ = dtr;
    rts_ = rts;
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::Lines;
    e.dtr = dtr;
    e.rts = rts;
    record(std::move(e));

    const bool pulse = config_.invertTest ? !rts : rts;
    if (pulse != testPulse_) {
        testPulse_ = pulse;
        if (pulse) {
            // A pulse counts towards the entry when RST/NMI is low: the first one after a rest of
            // the required length, the following ones after it.
            if (!rstLow_) {
                entryPulses_ = -1;
            } else if (t - testRestSince_ >= config_.entryRestNs) {
                entryPulses_ = 1;
            } else if (entryPulses_ >= 1) {
                ++entryPulses_;
            } else {
                entryPulses_ = -1;
            }
        } else {
            testRestSince_ = t;
        }
    }
    if (dtr != rstLow_) {
        if (dtr) {
            rstLow_ = true;
            entryPulses_ = 0;
            cancelActivity();
            muted_ = false;
            replacementRunning_ = false;
            setMode(t, Mode::Halted, "held in reset");
        } else {
            rstLow_ = false;
            releaseReset(t);
        }
    }
    runTo(t);
}

void SimTarget::releaseReset(std::uint64_t t) {
    const bool entry = entryPulses_ == 2 && testPulse_;
    entryPulses_ = -1;
    if (entry && !config_.ignoreEntry) {
        note(t, "reset released during the second TEST pulse: bootstrap loader");
        enterLoader(t, false, t + config_.loaderReadyNs);
        return;
    }
    if (entry) note(t, "entry sequence ignored");
    const std::uint16_t vector = static_cast<std::uint16_t>(memory_[kResetVector] | (memory_[kResetVector + 1] << 8));
    if (vector == 0xFFFF) {
        setMode(t, Mode::Silent, "reset released: no firmware (reset vector FFFF)");
        return;
    }
    setMode(t, Mode::Silent, "reset released: firmware starts");
    schedule(t + config_.appStartNs, kStartApp);
}

void SimTarget::startLoader(std::uint64_t t) {
    powered_ = true;
    nowNs_ = std::max(nowNs_, t);
    cancelActivity();
    note(t, "bootstrap loader started directly");
    enterLoader(t, false, t);
}

void SimTarget::enterLoader(std::uint64_t t, bool replacement, std::uint64_t readyAt) {
    setMode(t, Mode::Loader, nullptr);
    locked_ = !replacement;
    replacementRunning_ = replacement;
    readyAtNs_ = readyAt;
    rxState_ = RxState::Idle;
    frame_.clear();
    setFormat(t, kLoaderFormat);
    ++loaderStarts_;
}

void SimTarget::startApplication(std::uint64_t t) {
    setMode(t, Mode::Application, "application running");
    setFormat(t, config_.appFormat);
    ++appStarts_;
    send(t, std::vector<std::uint8_t>(config_.appGreeting.begin(), config_.appGreeting.end()));
}

// ---- reception ----

void SimTarget::hostFormat(std::uint64_t t, const platform::LineFormat& format) {
    t = std::max(t, nowNs_);
    powerOnIfNeeded(t);
    runTo(t);
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::HostFormat;
    e.format = format;
    record(std::move(e));
}

void SimTarget::hostByte(std::uint64_t t, std::uint8_t byte, const platform::LineFormat& format) {
    t = std::max(t, nowNs_);
    powerOnIfNeeded(t);
    runTo(t);
    ++hostByteCount_;
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::HostByte;
    e.byte = byte;
    // The byte as it reaches the chip, unless a fault drops it on the way.
    bool arrives = true;
    std::uint8_t onLine = byte;
    for (const Fault& f : config_.faults) {
        if (f.nth != hostByteCount_ && !(f.andLater && hostByteCount_ > f.nth)) continue;
        if (f.type == FaultType::DropRx) arrives = false;
        if (f.type == FaultType::GarbleRx && arrives) onLine = static_cast<std::uint8_t>(onLine ^ f.value);
    }
    if (!arrives) {
        e.text = "lost on the line";
    } else {
        e.received = decodeCharacter(onLine, format, format_);
        if (!e.received) e.text = "framing or parity error";
    }
    if (e.received && (mode_ == Mode::Halted || mode_ == Mode::Silent)) e.text = "nobody listens";
    std::optional<std::uint8_t> got = e.received;
    record(std::move(e));
    if (got) receive(t, *got);
    runTo(t);
}

void SimTarget::receive(std::uint64_t t, std::uint8_t byte) {
    switch (mode_) {
        case Mode::Application: send(t, {byte}); break;  // the firmware echoes what it gets
        case Mode::Loader: loaderByte(t, byte); break;
        default: break;
    }
}

void SimTarget::acceptSync(std::uint64_t t) {
    unsigned n = ++counts_[kKindSync];
    const Fault* f = answerFault(kKindSync, n);
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

void SimTarget::loaderByte(std::uint64_t t, std::uint8_t byte) {
    if (t < readyAtNs_ || testPulse_) {
        note(t, "loader not ready: byte ignored");
        return;
    }
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
            schedule(t + config_.discardPauseNs, kDiscardEnd);
            return;
        case RxState::Frame: break;
    }

    if (frame_.empty() && byte == kSync && afterPause && config_.lateSyncNs != 0) {
        // The loader waits for the header as long as it takes. A 0x80 after a long pause is that
        // header when the rest of the frame follows; this loader takes it, when nothing follows, as
        // a host trying to synchronise again (having missed the acknowledge) and acknowledges it.
        schedule(t + config_.lateSyncNs, kLateSync, t);
    }
    lastRxNs_ = t;
    frame_.push_back(byte);
    const std::size_t size = frame_.size();
    auto discard = [&](const char* why) {
        note(t, why);
        rxState_ = RxState::Discard;
        frame_.clear();
        schedule(t + config_.discardPauseNs, kDiscardEnd);
    };
    if (size == 1 && byte != kSync) return discard("frame without header byte 0x80");
    if (size == 2 && byte == kSync) {
        // Two 0x80 in a row: the first was a repeated synchronisation byte whose acknowledge the
        // host has already been sent; the second begins the frame.
        note(t, "repeated synchronisation byte skipped");
        frame_.pop_back();
        return;
    }
    if (size == 4) {
        if (frame_[2] != frame_[3]) return discard("length bytes differ");
        if (frame_[2] < 4 || (frame_[2] & 1)) return discard("frame length not even or below 4");
    }
    if (size >= 4 && size == 4u + frame_[2] + 2u) frameComplete(t);
}

void SimTarget::frameComplete(std::uint64_t t) {
    rxState_ = RxState::Idle;
    const std::size_t size = frame_.size();
    const std::uint16_t sent = static_cast<std::uint16_t>(frame_[size - 2] | (frame_[size - 1] << 8));
    if (frameChecksum(frame_.data(), size - 2) != sent) {
        note(t, "checksum error: answered 0xA0");
        send(t + config_.frameAnswerNs, {kNack});
        return;
    }
    const std::uint8_t command = frame_[1];
    unsigned n = ++counts_[command];
    unsigned any = ++counts_[kKindAnyCommand];
    const Fault* f = answerFault(command, n);
    if (!f) f = answerFault(kKindAnyCommand, any);
    const std::uint64_t at = t + config_.frameAnswerNs;
    if (f && applyAnswerFault(at, *f, command)) return;
    execute(at);
    if (f && f->type == FaultType::MuteAfter) {
        muted_ = true;
        note(t, "loader falls silent");
    }
}

const Fault* SimTarget::answerFault(int kind, unsigned count) const {
    for (const Fault& f : config_.faults) {
        if (!isAnswerFault(f.type) || f.kind != kind) continue;
        if (count == f.nth || (f.andLater && count > f.nth)) return &f;
    }
    return nullptr;
}

// Sends what an answer fault puts in place of the answer. Returns false when the normal answer
// still follows (prefix bytes, or a loader that falls silent only afterwards).
bool SimTarget::applyAnswerFault(std::uint64_t t, const Fault& f, std::uint8_t command) {
    std::string what = "fault on " + std::string(command ? commandName(command) : "synchronisation") + ": ";
    switch (f.type) {
        case FaultType::Nack:
            note(t, what + "answered 0xA0");
            send(t, {kNack});
            return true;
        case FaultType::Stray:
            note(t, what + "answered " + hexByte(f.value));
            send(t, {f.value});
            return true;
        case FaultType::Mute:
            note(t, what + "no answer");
            return true;
        case FaultType::LengthMismatch: {
            note(t, what + "data reply with different length bytes");
            std::vector<std::uint8_t> data;
            if (command == kCmdTxDataBlock && frame_.size() >= 8) {
                std::uint16_t address = static_cast<std::uint16_t>(frame_[4] | (frame_[5] << 8));
                std::uint16_t n = static_cast<std::uint16_t>(frame_[6] | (frame_[7] << 8));
                if (n <= 250 && readAllowed(address, n)) {
                    for (std::uint16_t i = 0; i < n; ++i) data.push_back(readMemory(static_cast<std::uint16_t>(address + i)));
                }
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

// ---- commands ----

void SimTarget::execute(std::uint64_t t) {
    const std::uint8_t command = frame_[1];
    const unsigned dataCount = frame_[2] - 4u;
    const std::uint16_t address = static_cast<std::uint16_t>(frame_[4] | (frame_[5] << 8));
    const std::uint16_t length = static_cast<std::uint16_t>(frame_[6] | (frame_[7] << 8));
    const std::uint8_t* data = frame_.data() + 8;
    char text[96];
    std::snprintf(text, sizeof text, "%s at %04X, length %04X%s", commandName(command), address, length,
                  locked_ ? " (locked)" : "");
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
            if (!match) return refuse("wrong password");
            note(t, "unlocked");
            send(t, {kAck});
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
            for (unsigned i = 0; i < length; ++i) writeMemory(static_cast<std::uint16_t>(address + i), data[i]);
            send(t + config_.writeNsPerByte * length, {kAck});
            return;
        }
        case kCmdTxDataBlock: {
            if (dataCount != 0) return refuse("unexpected data");
            if (length > 250) return refuse("more than 250 bytes asked for");
            if (!readAllowed(address, length)) return refuse("block runs past FFFF");
            std::vector<std::uint8_t> bytes;
            for (unsigned i = 0; i < length; ++i) bytes.push_back(readMemory(static_cast<std::uint16_t>(address + i)));
            sendDataReply(t, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length), bytes);
            return;
        }
        case kCmdLoadPc: {
            if (dataCount != 0) return refuse("unexpected data");
            std::uint64_t end = send(t, {kAck});
            if (address == kLoaderWarmStart || address == kLoaderColdStart) {
                schedule(end, kRestartRom);
            } else if (inRam(address) && ramWritten(address)) {
                schedule(end, kStartReplacement);
            } else {
                schedule(end, kLeaveLoader, address);
            }
            return;
        }
        case kCmdChangeBaud: {
            if (dataCount != 0) return refuse("unexpected data");
            const BaudSetting& s = config_.invertTest ? kInvertedBaud : kNormalBaud;
            if (address != s.clock || length != s.code) return refuse("clock setting or rate code not supported");
            std::uint64_t end = send(t, {kAck});
            if (config_.fakeBaudChange) {
                note(t, "fault: speed change acknowledged but not made");
            } else {
                schedule(end, kSwitchBaud, s.baud);
            }
            return;
        }
        default: return refuse("unknown command");
    }
}

std::uint64_t SimTarget::send(std::uint64_t t, const std::vector<std::uint8_t>& bytes) {
    if (config_.silent) {
        if (!bytes.empty()) note(t, "silent chip: nothing sent");
        return t;
    }
    std::uint64_t end = t;
    const std::uint64_t characterNs = format_.characterNs();
    for (std::uint8_t byte : bytes) {
        ++modelByteCount_;
        bool lost = false;
        for (const Fault& f : config_.faults) {
            if (f.nth != modelByteCount_ && !(f.andLater && modelByteCount_ > f.nth)) continue;
            if (f.type == FaultType::DropTx) lost = true;
            if (f.type == FaultType::GarbleTx) byte = static_cast<std::uint8_t>(byte ^ f.value);
        }
        std::uint64_t start = std::max({t, txFreeNs_, nowNs_});
        tx_.push_back({start, byte, format_, lost});
        txFreeNs_ = start + characterNs;
        end = txFreeNs_;
    }
    return end;
}

std::uint64_t SimTarget::sendDataReply(std::uint64_t t, std::uint8_t l1, std::uint8_t l2,
                                       const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> reply{kSync, 0x00, l1, l2};
    reply.insert(reply.end(), data.begin(), data.end());
    std::uint16_t ck = frameChecksum(reply.data(), reply.size());
    reply.push_back(static_cast<std::uint8_t>(ck));
    reply.push_back(static_cast<std::uint8_t>(ck >> 8));
    return send(t, reply);
}

// ---- memory ----

bool SimTarget::readAllowed(std::uint32_t address, std::size_t count) const { return address + count <= 0x10000; }

std::uint8_t SimTarget::readMemory(std::uint16_t address) const {
    std::uint8_t value = memory_[address];
    if (replacementRunning_ && address == kIdentification + 10) value = config_.replacementMajor;
    if (replacementRunning_ && address == kIdentification + 11) value = config_.replacementMinor;
    for (const Fault& f : config_.faults) {
        if (f.type == FaultType::CorruptRead && f.address == address) value = static_cast<std::uint8_t>(value ^ f.value);
    }
    return value;
}

void SimTarget::writeMemory(std::uint16_t address, std::uint8_t byte) {
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

void SimTarget::massErase() {
    std::fill(memory_.begin() + kInfoFlashStart, memory_.end(), 0xFF);
    note(nowNs_, "flash erased");
}

bool SimTarget::ramWritten(std::uint16_t address) const {
    return inRam(address) && ramWritten_[address - kRamStart];
}

std::vector<std::uint8_t> SimTarget::peek(std::uint16_t address, std::size_t count) const {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count && address + i < 0x10000; ++i) bytes.push_back(memory_[address + i]);
    return bytes;
}

void SimTarget::poke(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < 0x10000; ++i) memory_[address + i] = bytes[i];
}

unsigned SimTarget::commandCount(int kind) const {
    return kind >= 0 && kind < static_cast<int>(counts_.size()) ? counts_[kind] : 0;
}

// ---- trace ----

void SimTarget::record(TraceEntry entry) {
    if (traceFile_) {
        std::fputs(formatEntry(entry).c_str(), traceFile_);
        std::fputc('\n', traceFile_);
        std::fflush(traceFile_);
    }
    if (config_.keepTrace) trace_.push_back(std::move(entry));
}

void SimTarget::note(std::uint64_t t, const std::string& text) {
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::Event;
    e.text = text;
    record(std::move(e));
}

std::vector<std::uint8_t> SimTarget::hostBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const TraceEntry& e : trace_)
        if (e.kind == TraceEntry::Kind::HostByte) bytes.push_back(e.byte);
    return bytes;
}

std::vector<std::uint8_t> SimTarget::modelBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const TraceEntry& e : trace_)
        if (e.kind == TraceEntry::Kind::ModelByte) bytes.push_back(e.byte);
    return bytes;
}

std::string SimTarget::formatEntry(const TraceEntry& e) {
    char time[40];
    std::snprintf(time, sizeof time, "%8" PRIu64 ".%06" PRIu64 " ms  ", e.timeNs / kNsPerMs, e.timeNs % kNsPerMs);
    std::string line = time;
    auto got = [&](const char* who) {
        return e.received ? std::string(" (") + who + " got " + hexByte(*e.received) + ")"
                          : std::string(" (") + who + " got nothing)";
    };
    switch (e.kind) {
        case TraceEntry::Kind::Lines:
            line += std::string("lines   DTR ") + (e.dtr ? "set" : "clear") + ", RTS " + (e.rts ? "set" : "clear");
            break;
        case TraceEntry::Kind::HostFormat: line += "host    format " + formatName(e.format); break;
        case TraceEntry::Kind::ModelFormat: line += "target  format " + formatName(e.format); break;
        case TraceEntry::Kind::HostByte: line += "host >  " + hexByte(e.byte) + got("target"); break;
        case TraceEntry::Kind::ModelByte: line += "   < target " + hexByte(e.byte) + got("host"); break;
        case TraceEntry::Kind::Event: line += "target  " + e.text; break;
    }
    if (e.kind != TraceEntry::Kind::Event && !e.text.empty()) line += " [" + e.text + "]";
    return line;
}

std::string SimTarget::dump() const {
    std::string text;
    for (const TraceEntry& e : trace_) text += formatEntry(e) + "\n";
    return text;
}

}  // namespace sim
