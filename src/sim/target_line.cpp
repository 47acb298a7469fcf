// How the lines, formats and bytes travel between the host and the chip: the entry sequence on
// RTS/DTR, the host's bytes as the chip's UART decodes them, and the chip's bytes queued back to
// back on the wire and decoded by the host's UART when each starts.
#include <algorithm>

#include "sim/sim_target.h"

namespace sim {

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
            if (rstLow_) ++risingEdges_;
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
            risingEdges_ = 0;
            cancelActivity();
            loader_->reset();
            setMode(t, Mode::Halted, "held in reset");
        } else {
            rstLow_ = false;
            releaseReset(t);
        }
    }
    runTo(t);
}

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
    const ByteOnLine onLine =
        byteOnLine(config_.faults, FaultType::DropRx, FaultType::GarbleRx, hostByteCount_, byte);
    if (onLine.lost) {
        e.text = "lost on the line";
    } else {
        e.received = decodeCharacter(onLine.byte, format, format_);
        if (!e.received) e.text = "framing or parity error";
    }
    if (e.received && (mode_ == Mode::Halted || mode_ == Mode::Silent)) e.text = "nobody listens";
    std::optional<std::uint8_t> got = e.received;
    const bool garbled = !onLine.lost && !got;
    record(std::move(e));
    if (got)
        receive(t, *got);
    else if (garbled && mode_ == Mode::Application)
        mcu_->hostCharacter(std::nullopt);  // the USART sees a framing or parity error
    runTo(t);
}

void SimTarget::receive(std::uint64_t t, std::uint8_t byte) {
    switch (mode_) {
        case Mode::Application: mcu_->hostCharacter(byte); break;  // the firmware's USART
        case Mode::Loader:
            if (t < readyAtNs_ || testPulse_) {
                note(t, "loader not ready: byte ignored");
                return;
            }
            loader_->receive(t, byte);
            break;
        default: break;
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
        const ByteOnLine onLine = byteOnLine(config_.faults, FaultType::DropTx, FaultType::GarbleTx,
                                             modelByteCount_, byte);
        std::uint64_t start = std::max({t, txFreeNs_, nowNs_});
        tx_.push_back({start, onLine.byte, format_, onLine.lost});
        txFreeNs_ = start + characterNs;
        end = txFreeNs_;
    }
    return end;
}

void SimTarget::startNextByte() {
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
}

}  // namespace sim
