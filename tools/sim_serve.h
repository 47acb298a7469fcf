// The ways bsl430-sim serves the simulated target; each returns the program's exit status.
#pragma once

#include <string>

#include "sim/sim_target.h"

namespace simserve {

// On a pseudo-terminal: prints its path, serves until SIGINT or SIGTERM.
int servePty(sim::SimConfig config);

// As a network serial port (Telnet with the Com Port Control Option) on `address`, "[HOST:]PORT":
// prints the rfc2217:// address clients use, serves until SIGINT or SIGTERM.
int serveRfc2217(const sim::SimConfig& config, const std::string& address);

}  // namespace simserve
