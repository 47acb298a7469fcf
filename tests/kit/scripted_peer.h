// A far end for tests: records what the host does on the line and sends bytes a test queued or
// that answer the host's bytes. Bytes it sends go back to back at the host's character time and
// are handed to the port when they start on the wire; they arrive when their stop bit ends.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "platform/simulated/far_end.h"

namespace platform {

class ScriptedPeer : public FarEnd {
public:
    struct HostByte {
        std::uint64_t timeNs;  // end of its stop bit at this end
        std::uint8_t byte;
        LineFormat format;
    };
    struct HostLines {
        std::uint64_t timeNs;
        bool dtr;
        bool rts;
    };
    struct HostFormat {
        std::uint64_t timeNs;
        LineFormat format;
    };

    std::vector<HostByte> received;
    std::vector<HostLines> lineChanges;
    std::vector<HostFormat> formatChanges;
    bool ring = false;  // the ring-indicator input the host sees

    // Queues bytes, the first starting at `atNs` (or once the bytes queued before have left).
    void sendAt(std::uint64_t atNs, const std::vector<std::uint8_t>& bytes);
    // Queues bytes to start as soon as the line is free.
    void send(const std::vector<std::uint8_t>& bytes) { sendAt(nowNs_, bytes); }
    // Whenever the host sends `trigger`, sends `reply` right after it.
    void answer(std::uint8_t trigger, std::vector<std::uint8_t> reply) {
        answers_[trigger] = std::move(reply);
    }
    // Called on every host byte, after it is recorded and any answer is queued.
    std::function<void(ScriptedPeer& peer, std::uint64_t timeNs, std::uint8_t byte)> onByte;

    std::vector<std::uint8_t> receivedBytes() const;
    std::uint64_t nowNs() const { return nowNs_; }
    std::size_t queuedBytes() const { return queue_.size(); }

    void hostLines(std::uint64_t t, bool dtr, bool rts) override;
    void hostFormat(std::uint64_t t, const LineFormat& format) override;
    void hostByte(std::uint64_t t, std::uint8_t byte, const LineFormat& format) override;
    void advanceTo(std::uint64_t t) override;
    std::optional<std::uint64_t> nextEventTime() override;
    bool ringIndicator() const override { return ring; }

private:
    struct Queued {
        std::uint64_t notBeforeNs;
        std::uint8_t byte;
    };
    std::uint64_t startOf(const Queued& q) const {
        return q.notBeforeNs > txFreeNs_ ? q.notBeforeNs : txFreeNs_;
    }

    std::deque<Queued> queue_;
    std::map<std::uint8_t, std::vector<std::uint8_t>> answers_;
    std::uint64_t nowNs_ = 0;
    std::uint64_t txFreeNs_ = 0;
};

}  // namespace platform
