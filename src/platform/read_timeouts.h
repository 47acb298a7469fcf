// How a read waits under the Windows read time-outs (COMMTIMEOUTS), shared by the serial backends
// that carry those rules over to other systems:
// - interval MAXDWORD with multiplier and constant 0: the read returns at once with whatever has
//   arrived;
// - interval and multiplier MAXDWORD with a constant below MAXDWORD: the read waits at most the
//   constant for the first byte and returns as soon as it has one;
// - otherwise the whole read lasts at most multiplier x count + constant ms (both 0: no limit),
//   and an interval other than 0 ends it once that many ms pass after a byte without the next.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/kernel32.h"

namespace platform {

struct ReadPlan {
    std::optional<std::uint64_t> deadlineNs;  // the whole read ends here; none: no limit
    std::optional<std::uint64_t> intervalNs;  // longest silence after a byte; none: no limit
    bool endsOnFirstByte = false;             // returns as soon as it has a byte

    // When the read ends if nothing more arrives, `got` bytes in and the last at `lastByteNs`.
    std::optional<std::uint64_t> endNs(std::uint32_t got, std::uint64_t lastByteNs) const;

    // When a read that started at `startNs` on a port that is gone fails: not before its
    // time-out, and at least a millisecond after it started, so that a caller retrying until a
    // tick-count deadline makes progress on a virtual clock too.
    std::uint64_t failureNs(std::uint64_t startNs) const;
};

// The plan for a read of `count` bytes that starts at `startNs` (nanoseconds on any clock).
ReadPlan planRead(const k32::COMMTIMEOUTS& timeouts, std::uint32_t count, std::uint64_t startNs);

}  // namespace platform
