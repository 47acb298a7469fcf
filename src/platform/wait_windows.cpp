// WaitForMultipleObjects' wait on Windows: the system's own, on the waitable handles.
#include <vector>

#include "platform/clock.h"
#include "platform/device.h"

#include "platform/windows_api.h"

namespace platform {

bool waitForDescriptors(const std::intptr_t* descriptors, std::size_t count,
                        std::optional<std::uint64_t> untilNs) {
    std::vector<HANDLE> handles(count);
    for (std::size_t i = 0; i < count; ++i) handles[i] = reinterpret_cast<HANDLE>(descriptors[i]);
    DWORD ms = INFINITE;
    if (untilNs) {
        const std::uint64_t now = processClock().nowNs();
        const std::uint64_t left = *untilNs > now ? (*untilNs - now + kNsPerMs - 1) / kNsPerMs : 0;
        ms = left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left);
    }
    const DWORD result =
        ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, ms);
    return result < WAIT_OBJECT_0 + handles.size();
}

}  // namespace platform
