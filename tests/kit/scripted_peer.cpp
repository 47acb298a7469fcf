#include "kit/scripted_peer.h"

namespace platform {

void ScriptedPeer::sendAt(std::uint64_t atNs, const std::vector<std::uint8_t>& bytes) {
    if (atNs < nowNs_) atNs = nowNs_;  // nothing can be sent in the past
    for (std::uint8_t b : bytes) queue_.push_back({atNs, b});
}

std::vector<std::uint8_t> ScriptedPeer::receivedBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const auto& r : received) bytes.push_back(r.byte);
    return bytes;
}

void ScriptedPeer::hostLines(std::uint64_t t, bool dtr, bool rts) {
    advanceTo(t);
    lineChanges.push_back({t, dtr, rts});
}

void ScriptedPeer::hostFormat(std::uint64_t t, const LineFormat& format) {
    advanceTo(t);
    formatChanges.push_back({t, format});
}

void ScriptedPeer::hostByte(std::uint64_t t, std::uint8_t byte, const LineFormat& format) {
    advanceTo(t);
    received.push_back({t, byte, format});
    auto answer = answers_.find(byte);
    if (answer != answers_.end()) sendAt(t, answer->second);
    if (onByte) onByte(*this, t, byte);
}

void ScriptedPeer::advanceTo(std::uint64_t t) {
    if (t > nowNs_) nowNs_ = t;
    while (!queue_.empty()) {
        std::uint64_t start = startOf(queue_.front());
        if (start > nowNs_) break;
        // Unconnected, the byte goes nowhere but still takes its time on the wire.
        LineFormat format = link_ ? link_->hostFormat() : LineFormat{};
        std::uint64_t end = start + format.characterNs();
        if (link_) link_->deliver(end, queue_.front().byte);
        txFreeNs_ = end;
        queue_.pop_front();
    }
}

std::optional<std::uint64_t> ScriptedPeer::nextEventTime() {
    if (queue_.empty()) return std::nullopt;
    return startOf(queue_.front());
}

}  // namespace platform
