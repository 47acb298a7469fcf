#include "platform/clock.h"

namespace platform {
namespace {
RealClock& realClock() {
    static RealClock clock;
    return clock;
}
Clock* installed = nullptr;
}  // namespace

Clock& processClock() { return installed ? *installed : realClock(); }

Clock* setProcessClock(Clock* clock) {
    Clock* previous = installed ? installed : &realClock();
    installed = clock;
    return previous;
}

}  // namespace platform
