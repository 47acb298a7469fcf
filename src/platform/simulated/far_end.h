// The far end of a simulated port: whatever sits at the other end of the simulated serial line (the
// simulated MSP430 target, or a scripted peer in tests). Times are nanoseconds on the process
// clock. The port tells the far end about the host's line changes, format changes and every byte
// the host transmits; the far end delivers the bytes it sends back through its HostLink.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/line_format.h"

namespace platform {

class HostLink {
public:
    virtual ~HostLink() = default;
    // A byte that becomes readable at the host at time `arrivalNs` (which may lie in the future),
    // exactly as the host's receiver decoded it. Bytes must be delivered in arrival order.
    virtual void deliver(std::uint64_t arrivalNs, std::uint8_t byte) = 0;
    // The host's current line format (what its receiver expects).
    virtual LineFormat hostFormat() const = 0;
};

class FarEnd {
public:
    virtual ~FarEnd() = default;

    void attach(HostLink* link) { link_ = link; }

    // Host events, in time order, never earlier than the last advanceTo().
    // dtr/rts: true while the host has the line set (asserted).
    virtual void hostLines(std::uint64_t t, bool dtr, bool rts) = 0;
    virtual void hostFormat(std::uint64_t t, const LineFormat& format) = 0;
    // A byte the host sent; `t` is when its last stop bit ends at the far end, `format` is the
    // host's format it was sent with.
    virtual void hostByte(std::uint64_t t, std::uint8_t byte, const LineFormat& format) = 0;

    // Runs the far end's own activity up to time t (monotonic).
    virtual void advanceTo(std::uint64_t t) = 0;
    // The earliest time after the last advanceTo at which the far end has something to do, or
    // nothing when it is idle until the host does something.
    virtual std::optional<std::uint64_t> nextEventTime() = 0;

    // Ring-indicator input as the host's modem status sees it.
    virtual bool ringIndicator() const { return false; }

protected:
    HostLink* link_ = nullptr;
};

}  // namespace platform
