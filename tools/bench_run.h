// "bsl430-sim run": a firmware straight in the simulated board's flash, run on virtual time.
#pragma once

namespace simbench {

// Runs the bench with the arguments after "run". Exit status: 0 the expected output came (or, with
// nothing expected, the time ran out), 1 it did not come in time, 2 bad use.
int runBench(int argc, char** argv);

}  // namespace simbench
