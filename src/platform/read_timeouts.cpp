#include "platform/read_timeouts.h"

#include <algorithm>

#include "platform/clock.h"

namespace platform {
namespace {

// Longest time-out a read can be given, in milliseconds (about 31 years): keeps multiplier x
// count + constant from overflowing when turned into nanoseconds.
constexpr std::uint64_t kLongestTimeoutMs = 1000000000000ull;

std::uint64_t msToNs(std::uint64_t ms) { return std::min(ms, kLongestTimeoutMs) * kNsPerMs; }

}  // namespace

ReadPlan planRead(const k32::COMMTIMEOUTS& t, std::uint32_t count, std::uint64_t startNs) {
    ReadPlan plan;
    const bool intervalMax = t.ReadIntervalTimeout == k32::MAXDWORD;
    if (intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        plan.deadlineNs = startNs;
    } else if (intervalMax && t.ReadTotalTimeoutMultiplier == k32::MAXDWORD &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != k32::MAXDWORD) {
        plan.deadlineNs = startNs + msToNs(t.ReadTotalTimeoutConstant);
        plan.endsOnFirstByte = true;
    } else {
        std::uint64_t totalMs = std::uint64_t{t.ReadTotalTimeoutMultiplier} * count;
        totalMs = std::min(totalMs, kLongestTimeoutMs) + t.ReadTotalTimeoutConstant;
        if (totalMs != 0) plan.deadlineNs = startNs + msToNs(totalMs);
        if (t.ReadIntervalTimeout != 0) plan.intervalNs = msToNs(t.ReadIntervalTimeout);
    }
    return plan;
}

std::optional<std::uint64_t> ReadPlan::endNs(std::uint32_t got, std::uint64_t lastByteNs) const {
    if (!intervalNs || got == 0) return deadlineNs;
    const std::uint64_t intervalEnd = lastByteNs + *intervalNs;
    return deadlineNs ? std::min(*deadlineNs, intervalEnd) : intervalEnd;
}

std::uint64_t ReadPlan::failureNs(std::uint64_t startNs) const {
    return std::max(deadlineNs.value_or(startNs), startNs + kNsPerMs);
}

}  // namespace platform
