// The process clock behind GetTickCount and Sleep. The tool runs on the real monotonic clock;
// tests install a virtual clock on which sleeps and read time-outs advance time instantly, and
// whose millisecond tick counter can start anywhere (near 0xFFFFFFFF to exercise the wrap).
#pragma once

#include <cstdint>

namespace platform {

constexpr std::uint64_t kNsPerMs = 1000000;

class Clock {
public:
    virtual ~Clock() = default;
    // Nanoseconds since an arbitrary origin; never goes backwards.
    virtual std::uint64_t nowNs() = 0;
    // Returns once nowNs() >= t (at once when t has passed).
    virtual void sleepUntilNs(std::uint64_t t) = 0;
    // The 32-bit millisecond counter GetTickCount reports.
    virtual std::uint32_t tickCount() = 0;
};

class RealClock final : public Clock {
public:
    std::uint64_t nowNs() override;
    void sleepUntilNs(std::uint64_t t) override;
    std::uint32_t tickCount() override;
};

class VirtualClock final : public Clock {
public:
    explicit VirtualClock(std::uint32_t startTick = 0) : startTick_(startTick) {}
    std::uint64_t nowNs() override { return now_; }
    void sleepUntilNs(std::uint64_t t) override {
        if (t > now_) now_ = t;
    }
    std::uint32_t tickCount() override {
        return static_cast<std::uint32_t>(startTick_ + now_ / kNsPerMs);
    }
    void advanceNs(std::uint64_t ns) { now_ += ns; }

private:
    std::uint64_t now_ = 0;
    std::uint32_t startTick_;
};

// The clock GetTickCount, Sleep and every backend use. Starts as a process-wide RealClock.
Clock& processClock();
// Installs a clock (nullptr: the real clock again) and returns the one it replaces.
Clock* setProcessClock(Clock* clock);

}  // namespace platform
