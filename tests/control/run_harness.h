// Runs the whole program in this process against the simulated target on a virtual clock, with
// every kernel32 call recorded and standard output captured; and writes small HEX files of ours.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "kit/call_log.h"
#include "platform/clock.h"
#include "sim/sim_target.h"
#include "support/hex_text.h"

namespace harness {

struct RunResult {
    int exitCode = -1;
    std::string banner;  // the first line, which carries the build's date and time
    std::string output;  // everything after it
    std::string errors;  // standard error
    std::shared_ptr<sim::SimTarget> target;  // the model the run talked to (null: none opened)
};

class Harness {
public:
    Harness();
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // Runs the command line (program name first) from default settings.
    RunResult run(const std::vector<std::string>& argv);

    // EscapeCommFunction codes in order.
    std::vector<std::uint64_t> lineCalls() const;

    platform::VirtualClock clock;
    platform::CallLog log;

private:
    platform::Clock* previousClock_;
    platform::CallLog* previousLog_;
};

// Intel HEX text of data records (16 bytes each at most) for the bytes from `address`.
using testhex::hexEnd;
using testhex::hexRecords;

// A fresh directory for one test's files.
std::string makeTempDir();
void writeFile(const std::string& path, const std::string& content);

// The expected error box.
std::string errorBox(int number, const char* message);

}  // namespace harness
