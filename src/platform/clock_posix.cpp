// The real clock on Linux/macOS: CLOCK_MONOTONIC, and sleeps that last their full time even when
// a signal interrupts them.
#include <cerrno>
#include <ctime>

#include "platform/clock.h"

namespace platform {

std::uint64_t RealClock::nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

void RealClock::sleepUntilNs(std::uint64_t t) {
    for (;;) {
        std::uint64_t now = nowNs();
        if (now >= t) return;
        std::uint64_t left = t - now;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left / 1000000000ull);
        ts.tv_nsec = static_cast<long>(left % 1000000000ull);
        // Interrupted or not, the loop measures again and sleeps whatever is left.
        nanosleep(&ts, nullptr);
    }
}

std::uint32_t RealClock::tickCount() { return static_cast<std::uint32_t>(nowNs() / kNsPerMs); }

}  // namespace platform
