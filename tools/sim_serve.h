// The ways bsl430-sim serves the simulated target; each returns the program's exit status.
#pragma once

#include <string>

#include "sim/sim_target.h"

namespace simserve {

// On a pseudo-terminal: prints its path, serves until SIGINT or SIGTERM.
int servePty(sim::SimConfig config);

// How the network server treats its clients.
struct NetworkOptions {
    // A client that sends nothing for this long is hung up on (0: never).
    unsigned idleLimitSeconds = 0;
    // A new client takes the board over from the one being served, which is hung up on; otherwise
    // a second client is refused while one is served.
    bool takeOver = false;
};

// As a network serial port (Telnet with the Com Port Control Option) on `address`, "[HOST:]PORT":
// prints the rfc2217:// address clients use, serves until SIGINT or SIGTERM.
int serveRfc2217(const sim::SimConfig& config, const std::string& address,
                 const NetworkOptions& options);

}  // namespace simserve
