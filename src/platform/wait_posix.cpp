// WaitForMultipleObjects' wait on Linux/macOS: poll on the descriptors, to the microsecond where
// the system allows, so that a port's byte is not held back by a rounded time-out.
#include <poll.h>
#include <time.h>

#include <cerrno>
#include <vector>

#include "platform/clock.h"
#include "platform/device.h"

namespace platform {

bool waitForDescriptors(const std::intptr_t* descriptors, std::size_t count,
                        std::optional<std::uint64_t> untilNs) {
    std::vector<pollfd> set(count);
    for (std::size_t i = 0; i < count; ++i)
        set[i] = {static_cast<int>(descriptors[i]), POLLIN, 0};
    std::uint64_t left = 0;
    if (untilNs) {
        const std::uint64_t now = processClock().nowNs();
        left = *untilNs > now ? *untilNs - now : 0;
    }
    int ready;
#if defined(__linux__)
    timespec ts{static_cast<time_t>(left / 1000000000ull), static_cast<long>(left % 1000000000ull)};
    ready = ppoll(set.data(), set.size(), untilNs ? &ts : nullptr, nullptr);
#else
    const std::uint64_t ms = (left + kNsPerMs - 1) / kNsPerMs;
    ready = poll(set.data(), set.size(),
                 untilNs ? static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms) : -1);
#endif
    // A signal ends the wait early; the caller looks at the handles again.
    return ready > 0 || (ready < 0 && errno == EINTR);
}

}  // namespace platform
