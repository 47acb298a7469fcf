#include "sim/sim_target.h"

#include <algorithm>

#include "sim/classic_loader.h"

namespace sim {

// ---- power, modes and scheduled work ----

SimTarget::SimTarget(SimConfig config)
    : config_(std::move(config)),
      trace_(config_.tracePath, config_.keepTrace) {
    LoaderLine& line = *this;
    if (config_.newerChip) {
        auto newer = std::make_unique<NewerLoader>(line, config_, *config_.newerChip);
        newer_ = newer.get();
        loader_ = std::move(newer);
    } else {
        loader_ = std::make_unique<ClassicLoader>(line, config_, memory_);
    }
    loadPowerOnContents(memory_, config_.chipType, config_.versionMajor, config_.versionMinor,
                        config_.blankFlash, config_.appFormat.baud, config_.appGreeting);
    testPulse_ = config_.invertTest;  // RTS starts clear
    mcu_ = std::make_unique<mcu::Mcu>(memory_, chipModelFor(config_.chipType),
                                      static_cast<mcu::McuHooks*>(this),
                                      mcu::McuOptions{config_.hostUsart, config_.xt2Hz});
}

SimTarget::~SimTarget() = default;

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
    // The firmware runs up to each scheduled action in turn, and the bytes that start on the wire
    // meanwhile go out before the action.
    for (;;) {
        auto earliest = actions_.end();
        for (auto it = actions_.begin(); it != actions_.end(); ++it) {
            if (it->atNs > t) continue;
            if (earliest == actions_.end() || it->atNs < earliest->atNs ||
                (it->atNs == earliest->atNs && it->serial < earliest->serial))
                earliest = it;
        }
        const std::uint64_t until = earliest != actions_.end() ? earliest->atNs : t;
        runFirmware(until);
        flushTxTo(until);
        if (earliest == actions_.end()) break;
        Action a = *earliest;
        actions_.erase(earliest);
        nowNs_ = std::max(nowNs_, a.atNs);
        runAction(a);
    }
    nowNs_ = std::max(nowNs_, t);
}

void SimTarget::flushTxTo(std::uint64_t t) {
    while (txNext_ < tx_.size() && tx_[txNext_].startNs <= t) startNextByte();
}

void SimTarget::runFirmware(std::uint64_t t) {
    if (mode_ == Mode::Application) mcu_->runUntil(t * mcu::kPsPerNs);
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
            std::snprintf(text, sizeof text, "left the loader for %04X",
                          static_cast<unsigned>(a.arg));
            note(t, text);
            if (!loader_->runsFirmware()) {
                setMode(t, Mode::Silent, "firmware not run on this chip");
            } else if (inFlash(static_cast<std::uint32_t>(a.arg)) && memory_[a.arg] != 0xFF) {
                startApplicationAt(t, static_cast<std::uint16_t>(a.arg));
            } else {
                setMode(t, Mode::Silent, "nothing runs there");
            }
            break;
        }
        default:
            if (a.what >= kLoaderTimer) loader_->timer(t, a.what - kLoaderTimer, a.arg);
            break;
    }
}

void SimTarget::advanceTo(std::uint64_t t) {
    powerOnIfNeeded(t);
    runTo(t);
}

std::optional<std::uint64_t> SimTarget::nextEventTime() {
    std::optional<std::uint64_t> next;
    if (mode_ == Mode::Application) {
        // A running CPU is looked at every millisecond (a byte's time at 9600 Bd); a sleeping one
        // when its next peripheral event is due.
        constexpr std::uint64_t kRunningSliceNs = kNsPerMs;
        const std::uint64_t ps = mcu_->nextEventPs();
        if (mcu_->cpuRunning())
            next = std::max(nowNs_, ps / mcu::kPsPerNs) + kRunningSliceNs;
        else if (ps != mcu::kNever)
            next = (ps + mcu::kPsPerNs - 1) / mcu::kPsPerNs;
    }
    if (txNext_ < tx_.size() && (!next || tx_[txNext_].startNs < *next))
        next = tx_[txNext_].startNs;
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
    loader_->abandonReception();
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

void SimTarget::releaseReset(std::uint64_t t) {
    const bool entry = testPulse_ && (loader_->entryOnRisingEdges() ? risingEdges_ >= 2
                                                                    : entryPulses_ == 2);
    entryPulses_ = -1;
    if (entry && !config_.ignoreEntry) {
        note(t, "reset released during the second TEST pulse: bootstrap loader");
        enterLoader(t, false, t + config_.loaderReadyNs);
        return;
    }
    if (entry) note(t, "entry sequence ignored");
    if (!loader_->runsFirmware()) {
        setMode(t, Mode::Silent, "reset released: firmware not run on this chip");
        return;
    }
    const std::uint16_t vector =
        static_cast<std::uint16_t>(memory_[kResetVector] | (memory_[kResetVector + 1] << 8));
    if (vector == 0xFFFF)
        setMode(t, Mode::Silent,
                "reset released: no firmware (reset vector FFFF), erased flash runs");
    else
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
    loader_->start(t, replacement);
    readyAtNs_ = readyAt;
    setFormat(t, loader_->lineFormat());
    ++loaderStarts_;
}

void SimTarget::startApplication(std::uint64_t t) {
    setMode(t, Mode::Application, "application running");
    ++appStarts_;
    mcu_->powerOn(t * mcu::kPsPerNs);
}

void SimTarget::startApplicationAt(std::uint64_t t, std::uint16_t pc) {
    setMode(t, Mode::Application, "application running");
    ++appStarts_;
    mcu_->startAt(t * mcu::kPsPerNs, pc);
}

void SimTarget::transmit(std::uint64_t startPs, std::uint8_t byte,
                         const platform::LineFormat& format) {
    const std::uint64_t t = startPs / mcu::kPsPerNs;
    flushTxTo(t);  // the trace keeps its time order while the firmware runs ahead
    setFormat(t, format);
    send(t, {byte});
}

void SimTarget::formatChanged(std::uint64_t ps, const platform::LineFormat& format) {
    flushTxTo(ps / mcu::kPsPerNs);
    setFormat(ps / mcu::kPsPerNs, format);
}

void SimTarget::traceEvent(std::uint64_t ps, const std::string& text) {
    flushTxTo(ps / mcu::kPsPerNs);
    trace_.note(ps / mcu::kPsPerNs, text);
}

// ---- memory ----

std::vector<std::uint8_t> SimTarget::peek(std::uint16_t address, std::size_t count) const {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count && address + i < 0x10000; ++i)
        bytes.push_back(memory_[address + i]);
    return bytes;
}

void SimTarget::poke(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < 0x10000; ++i)
        memory_[address + i] = bytes[i];
}

unsigned SimTarget::commandCount(int kind) const { return loader_->commandCount(kind); }

}  // namespace sim
