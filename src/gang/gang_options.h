// bsl430-gang's command line: the firmware, the boards' ports and how they are programmed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gang {

struct GangOptions {
    bool help = false;
    bool version = false;
    bool verify = false;
    bool slow = false;
    bool invertedTest = false;
    bool quiet = false;
    // Hidden, as bsl430 --family: 0 auto, 1 classic, 2 the newer loader (F5xx, FR5xx, ...).
    int family = 0;
    std::string loader;  // empty: bsl430's default replacement loader
    std::string resultsFile;
    bool haveFirstSerial = false;
    std::uint32_t firstSerial = 0;
    std::uint32_t serialAt = 0x1000;
    std::string serialFile;
    int retries = 0;
    std::string firmware;
    std::vector<std::string> ports;
};

// Reads the command line (and a ports file it names). False with the reason in `error` for a
// command line that cannot be used.
bool parseGangOptions(int argc, char** argv, GangOptions& options, std::string& error);

// The option listing for --help.
const char* gangUsage();

// A simulated board ("sim", "sim:SETTINGS") may be named any number of times; any other port once.
bool isSimulatedBoard(const std::string& port);

}  // namespace gang
