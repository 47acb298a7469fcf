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
    // The terminal closed (its window, a dropped SSH session): a stop, like Ctrl-C, so that every
    // board lets go of its port and gets its record.
    sigaction(SIGHUP, &action, nullptr);
    // Standard output read by a program that has ended (| head): the write fails and the boards
    // go on; their records matter more than their lines.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace gang
