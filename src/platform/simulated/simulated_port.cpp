#include "platform/simulated/simulated_port.h"

#include <algorithm>
#include <optional>

#include "platform/clock.h"
#include "platform/read_timeouts.h"

namespace platform {

SimulatedPort::SimulatedPort(std::shared_ptr<FarEnd> farEnd)
    : farEnd_(std::move(farEnd)), dcb_(freshPortState()) {
    if (farEnd_) farEnd_->attach(this);
}

SimulatedPort::~SimulatedPort() {
    // Closing drains the transmitter: what it has taken still goes out.
    if (!tx_.empty() && !unplugged_) {
        waitUntil(txFreeNs_);
        runFarEndTo(std::max(processClock().nowNs(), txFreeNs_));
    }
    if (farEnd_) farEnd_->attach(nullptr);
    if (onClose) onClose();
}

void SimulatedPort::unplug() {
    // From outside, the far end first catches up; from inside one of its own callbacks it is
    // already being run and is not entered again.
    if (farEndDepth_ == 0) runFarEndTo(processClock().nowNs());
    unplugged_ = true;
    tx_.clear();  // cut off on the wire
    rx_.clear();  // what the adapter held goes with it
}

void SimulatedPort::runFarEndTo(std::uint64_t t) {
    ++farEndDepth_;
    runFarEndToInner(t);
    --farEndDepth_;
}

void SimulatedPort::runFarEndToInner(std::uint64_t t) {
    // The host's bytes reach the far end at the end of their stop bits, between whatever the far
    // end does before and after.
    while (!tx_.empty() && tx_.front().endNs <= t) {
        const Outgoing b = tx_.front();
        tx_.pop_front();
        farEndNs_ = std::max(farEndNs_, b.endNs);
        if (farEnd_) {
            farEnd_->advanceTo(b.endNs);
            farEnd_->hostByte(b.endNs, b.byte, b.format);
        }
    }
    if (t < farEndNs_) return;
    farEndNs_ = t;
    if (farEnd_) farEnd_->advanceTo(t);
}

void SimulatedPort::waitUntil(std::uint64_t t) { processClock().sleepUntilNs(t); }

LineFormat SimulatedPort::hostFormat() const {
    LineFormat format;
    format.baud = dcb_.BaudRate;
    format.dataBits = dcb_.ByteSize;
    format.parity = dcb_.Parity;
    format.stopBits = dcb_.StopBits;
    return format;
}

void SimulatedPort::deliver(std::uint64_t arrivalNs, std::uint8_t byte) {
    if (unplugged_) return;
    // A byte never overtakes the one before it.
    if (!rx_.empty() && arrivalNs < rx_.back().timeNs) arrivalNs = rx_.back().timeNs;
    rx_.push_back({arrivalNs, byte});
}

bool SimulatedPort::getCommState(k32::DCB& dcb) {
    runFarEndTo(processClock().nowNs());
    if (unplugged_) return false;
    dcb = dcb_;
    return true;
}

bool SimulatedPort::setCommState(const k32::DCB& dcb) {
    std::uint64_t now = processClock().nowNs();
    runFarEndTo(now);
    if (unplugged_) return false;
    // What the Windows driver refuses: a rate of 0 and formats no UART has.
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 ||
        dcb.Parity > k32::SPACEPARITY || dcb.StopBits > k32::TWOSTOPBITS)
        return false;
    LineFormat before = hostFormat();
    dcb_ = dcb;
    LineFormat after = hostFormat();
    if (farEnd_ && !(after == before)) farEnd_->hostFormat(now, after);
    return true;
}

bool SimulatedPort::getCommTimeouts(k32::COMMTIMEOUTS& timeouts) {
    runFarEndTo(processClock().nowNs());
    if (unplugged_) return false;
    timeouts = timeouts_;
    return true;
}

bool SimulatedPort::setCommTimeouts(const k32::COMMTIMEOUTS& timeouts) {
    runFarEndTo(processClock().nowNs());
    // Kept even when the adapter is gone, so that a failing read still lasts its time-out.
    timeouts_ = timeouts;
    return !unplugged_;
}

bool SimulatedPort::purge(k32::DWORD flags) {
    std::uint64_t now = processClock().nowNs();
    runFarEndTo(now);
    if (unplugged_) return false;
    if (flags & k32::PURGE_RXCLEAR) {
        while (!rx_.empty() && rx_.front().timeNs <= now) rx_.pop_front();
    }
    // Nothing to cancel on the way out: WriteFile returns only when the transmitter has taken the
    // byte, and what it has taken goes out.
    return true;
}

bool SimulatedPort::read(void* buffer, k32::DWORD count, k32::DWORD& got) {
    got = 0;
    Clock& clock = processClock();
    const std::uint64_t start = clock.nowNs();
    runFarEndTo(start);

    const ReadPlan plan = planRead(timeouts_, count, start);

    // A read on a pulled adapter fails once its time-out has passed; whatever it had read is
    // lost with the adapter.
    auto fail = [&] {
        waitUntil(std::max(clock.nowNs(), plan.failureNs(start)));
        got = 0;
        return false;
    };
    if (unplugged_) return fail();

    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t lastByteNs = start;
    while (got < count) {
        const std::uint64_t now = clock.nowNs();
        runFarEndTo(now);
        if (unplugged_) return fail();  // pulled by the far end while this read waited
        if (!rx_.empty() && rx_.front().timeNs <= now) {
            out[got++] = rx_.front().byte;
            rx_.pop_front();
            lastByteNs = now;
            continue;
        }
        if (plan.endsOnFirstByte && got > 0) break;

        const std::optional<std::uint64_t> deadline = plan.endNs(got, lastByteNs);
        if (deadline && now >= *deadline) break;

        // The next thing that can bring a byte: the far end's own activity, a byte on its way here
        // or one of the host's on its way there (which may be what the far end answers).
        std::optional<std::uint64_t> next = farEnd_ ? farEnd_->nextEventTime() : std::nullopt;
        if (!rx_.empty()) next = next ? std::min(*next, rx_.front().timeNs) : rx_.front().timeNs;
        if (!tx_.empty()) next = next ? std::min(*next, tx_.front().endNs) : tx_.front().endNs;
        if (!next) {
            // Nothing is on the way and the far end is idle: only the deadline can end the wait,
            // and without one the read would never end, so it returns with what it has.
            if (!deadline) break;
            waitUntil(*deadline);
            continue;
        }
        std::uint64_t wake = std::max(*next, now + 1);
        if (deadline && wake > *deadline) wake = *deadline;
        waitUntil(wake);
    }
    return true;
}

bool SimulatedPort::waitState(WaitState& state) {
    const std::uint64_t now = processClock().nowNs();
    runFarEndTo(now);
    if (unplugged_) return true;
    state.signaled = !rx_.empty() && rx_.front().timeNs <= now;
    if (state.signaled) return true;
    std::optional<std::uint64_t> next = farEnd_ ? farEnd_->nextEventTime() : std::nullopt;
    if (!rx_.empty()) next = next ? std::min(*next, rx_.front().timeNs) : rx_.front().timeNs;
    if (!tx_.empty()) next = next ? std::min(*next, tx_.front().endNs) : tx_.front().endNs;
    state.lookAgainNs = next;
    return true;
}

bool SimulatedPort::write(const void* buffer, k32::DWORD count, k32::DWORD& written) {
    written = 0;
    Clock& clock = processClock();
    runFarEndTo(clock.nowNs());
    if (unplugged_) return false;

    const LineFormat format = hostFormat();
    const std::uint64_t characterNs = format.characterNs();
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    for (k32::DWORD i = 0; i < count; ++i) {
        // The holding register is free once the byte before has started shifting out.
        waitUntil(txStartNs_);
        const std::uint64_t now = clock.nowNs();
        runFarEndTo(now);
        if (unplugged_) return false;  // pulled while the bytes before went out
        txStartNs_ = std::max(now, txFreeNs_);
        txFreeNs_ = txStartNs_ + characterNs;
        tx_.push_back({txFreeNs_, bytes[i], format});
        ++written;
    }
    return true;
}

bool SimulatedPort::escape(k32::DWORD function) {
    std::uint64_t now = processClock().nowNs();
    runFarEndTo(now);
    if (unplugged_) return false;
    switch (function) {
        case k32::SETDTR: dtr_ = true; break;
        case k32::CLRDTR: dtr_ = false; break;
        case k32::SETRTS: rts_ = true; break;
        case k32::CLRRTS: rts_ = false; break;
        case k32::SETXOFF:
        case k32::SETXON:
        case k32::SETBREAK:
        case k32::CLRBREAK: return true;  // accepted; the far end does not see them
        default: return false;
    }
    if (farEnd_) farEnd_->hostLines(now, dtr_, rts_);
    return true;
}

bool SimulatedPort::modemStatus(k32::DWORD& status) {
    status = 0;
    runFarEndTo(processClock().nowNs());
    if (unplugged_) return false;
    if (farEnd_ && farEnd_->ringIndicator()) status |= k32::MS_RING_ON;
    return true;
}

}  // namespace platform
