// Ctrl-C and SIGTERM stop every board at once. The request is a flag; the runs see it through the
// kernel32 calls, where a stopped run's reads and writes fail and its waits end at once, so that
// each run ends by its own error path, lets its board go and closes its port.
#pragma once

namespace gang {

// Makes Ctrl-C, SIGTERM and SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break and close)
// request the stop instead of ending the process; a closed pipe on standard output (SIGPIPE) no
// longer ends it either.
void installStopSignals();

// Puts the calls that honour the stop in front of the installed kernel32 calls. Safe to call more
// than once.
void installStoppableCalls();

void requestStop();
bool stopRequested();

// A time limit for the runs of the calling thread (a board's whole life): once it has passed, the
// thread's calls behave as after a stop request, so that its run ends by its own error path.
// A zero limit is none.
void setThreadTimeLimit(double seconds);
bool threadTimeLimitPassed();

// The stop or this thread's time limit: the run on this thread is to end.
bool runMustEnd();

}  // namespace gang
