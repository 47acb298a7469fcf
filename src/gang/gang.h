// bsl430-gang: programs many boards at once, each by the run bsl430 makes, one thread per board.
#pragma once

namespace gang {

// The whole program. Exit code: 0 every board OK, 1 a board failed or was stopped, 2 a command
// line, firmware, serial file or results file that cannot be used (and then no port is opened).
int gangMain(int argc, char** argv);

}  // namespace gang
