#include <signal.h>

#include "gang/stop_request.h"

namespace gang {
namespace {
extern "C" void onStopSignal(int) { requestStop(); }
}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace gang
