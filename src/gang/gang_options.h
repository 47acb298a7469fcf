// bsl430-gang's command line: the firmware, the boards' ports and how they are programmed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gang {

struct GangOptions {
    bool help = false;
    bool version = false;
    bool verify = false;
    bool slow = false;
    bool invertedTest = false;
    bool quiet = false;
    bool repeat = false;      // a round per panel, the next when the operator presses Enter
    bool onlyFailed = false;  // with repeat: the next round programs only the slots that failed
    bool check = false;       // read the boards back and compare; nothing is written
    // Hidden, as bsl430 --family: 0 auto, 1 classic, 2 the newer loader (F5xx, FR5xx, ...).
    int family = 0;
    std::string loader;  // empty: bsl430's default replacement loader
    std::string resultsFile;
    bool haveFirstSerial = false;
    std::uint32_t firstSerial = 0;
    std::uint32_t serialAt = 0x1000;
    std::string serialFile;
    int retries = 0;
    // The longest a board may take, every attempt together: five minutes is twice what the
    // slowest sound board needs (a whole 60 KB flash written and verified at 9600 Bd through a
    // replacement loader), and ends a stalled one long before an operator gives up on it.
    int boardTimeout = 300;  // seconds; 0: none
    std::string firmware;
    std::vector<std::string> ports;
    std::string station;  // empty: the computer's name
    std::vector<std::pair<std::string, std::string>> tags;  // --tag KEY=VALUE, in order
};

// Reads the command line (and a ports file it names). False with the reason in `error` for a
// command line that cannot be used.
bool parseGangOptions(int argc, char** argv, GangOptions& options, std::string& error);

// The option listing for --help.
const char* gangUsage();

// A simulated board ("sim", "sim:SETTINGS") may be named any number of times; any other port once.
bool isSimulatedBoard(const std::string& port);

}  // namespace gang
