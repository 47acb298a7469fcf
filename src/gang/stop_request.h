// Ctrl-C and SIGTERM stop every board at once. The request is a flag; the runs see it through the
// kernel32 calls, where a stopped run's reads and writes fail and its waits end at once, so that
// each run ends by its own error path, lets its board go and closes its port.
#pragma once

namespace gang {

// Makes Ctrl-C and SIGTERM (on Windows the console's Ctrl-C, Ctrl-Break and close) request the
// stop instead of ending the process.
void installStopSignals();

// Puts the calls that honour the stop in front of the installed kernel32 calls. Safe to call more
// than once.
void installStoppableCalls();

void requestStop();
bool stopRequested();

}  // namespace gang
