// The Windows read time-out rules as a plan: when a read ends, with and without bytes in.
#include <gtest/gtest.h>

#include <optional>

#include "platform/clock.h"
#include "platform/read_timeouts.h"

using k32::DWORD;
using k32::MAXDWORD;
using platform::kNsPerMs;

namespace {

constexpr std::uint64_t kStart = 5000 * kNsPerMs;
constexpr std::uint64_t kMs = kNsPerMs;
const std::optional<std::uint64_t> kNone;

}  // namespace

TEST(ReadPlan, WindowsTimeoutRules) {
    struct Case {
        const char* what;
        DWORD interval, multiplier, constant, count;
        std::optional<std::uint64_t> deadline;  // after kStart
        std::optional<std::uint64_t> interval_;
        bool firstByte;
        // When the read ends after 2 bytes, the last at kStart + 3 ms (after kStart; none: never).
        std::optional<std::uint64_t> endAfterTwo;
    };
    const Case cases[] = {
        {"returns at once", MAXDWORD, 0, 0, 4, 0, kNone, false, 0},
        {"waits for the first byte only", MAXDWORD, MAXDWORD, 50, 4, 50 * kMs, kNone, true,
         50 * kMs},
        {"MAXDWORD constant is not the first-byte wait", MAXDWORD, MAXDWORD, MAXDWORD, 1,
         (2ull * MAXDWORD) * kMs, MAXDWORD * kMs, false, (3ull + MAXDWORD) * kMs},
        {"multiplier x count + constant", 0, 10, 5, 3, 35 * kMs, kNone, false, 35 * kMs},
        {"the interval runs from the last byte", 20, 100, 0, 1, 100 * kMs, 20 * kMs, false,
         23 * kMs},
        {"the total ends before the interval would", 20, 0, 10, 4, 10 * kMs, 20 * kMs, false,
         10 * kMs},
        {"interval alone: no limit before the first byte", 7, 0, 0, 4, kNone, 7 * kMs, false,
         10 * kMs},
        {"no time-outs at all", 0, 0, 0, 4, kNone, kNone, false, kNone},
        {"huge total stays in range", 0, MAXDWORD, MAXDWORD, MAXDWORD, 1000000000000ull * kMs,
         kNone, false, 1000000000000ull * kMs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const k32::COMMTIMEOUTS t{c.interval, c.multiplier, c.constant, 0, 0};
        const platform::ReadPlan plan = platform::planRead(t, c.count, kStart);
        auto after = [](std::optional<std::uint64_t> d) {
            return d ? std::optional(*d + kStart) : d;
        };
        EXPECT_EQ(plan.deadlineNs, after(c.deadline));
        EXPECT_EQ(plan.intervalNs, c.interval_);
        EXPECT_EQ(plan.endsOnFirstByte, c.firstByte);
        EXPECT_EQ(plan.endNs(0, kStart), after(c.deadline));
        EXPECT_EQ(plan.endNs(2, kStart + 3 * kMs), after(c.endAfterTwo));
    }
}
