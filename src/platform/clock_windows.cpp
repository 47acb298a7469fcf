// The real clock on Windows: the performance counter for nanoseconds, the system's own tick
// count for GetTickCount, ::Sleep for waiting.
#include "platform/clock.h"

#include "platform/windows_api.h"

namespace platform {

std::uint64_t RealClock::nowNs() {
    static const std::uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<std::uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const auto counts = static_cast<std::uint64_t>(c.QuadPart);
    return counts / frequency * 1000000000ull + counts % frequency * 1000000000ull / frequency;
}

void RealClock::sleepUntilNs(std::uint64_t t) {
    for (;;) {
        std::uint64_t now = nowNs();
        if (now >= t) return;
        std::uint64_t ms = (t - now + kNsPerMs - 1) / kNsPerMs;
        ::Sleep(ms > 0xFFFFFFFEull ? 0xFFFFFFFEu : static_cast<DWORD>(ms));
    }
}

std::uint32_t RealClock::tickCount() { return ::GetTickCount(); }

}  // namespace platform
