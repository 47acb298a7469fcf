// The benchmark's measurements, each giving one row of the table: runs on the virtual clock in this
// process, the built bsl430 on the real clock as a child process through each route to the served
// model, the HEX loader against objcopy, and the peak memory of a run.
#pragma once

#include <string>
#include <vector>

#include "bench_table.h"
#include "run_timing.h"
#include "support/child_process.h"

namespace bench {

// The model's loader is pinned to a version that needs no upgrade, so the run is the one the
// ideal describes whatever the model's default becomes.
inline const char* const kModelSettings = "version=1.61";
// The buffer the simulated F5529's loader reports (command, address and data of one packet).
constexpr unsigned kNewerBufferBytes = 0x0104;

struct Context {
    std::string dir;
    std::string image48;
    std::string image64;
    bench::Cells cells48;
    bench::Cells cells64;
    int repeat = 1;
    long terminalPeakKiB = 0;  // the largest peak of the tool's runs through the pty
    std::vector<std::string> details;
};

inline std::vector<std::string> runArguments(const std::string& device, bool slow,
                                             const std::string& image) {
    std::vector<std::string> argv{"bsl430", "--device", device, "-v", "on"};
    if (slow) argv.push_back("--slow");
    argv.push_back(image);
    return argv;
}

inline const char* speedName(bool slow) { return slow ? "9600 Bd" : "38400 Bd"; }

// What a run on the real clock goes through to the simulated target.
enum class Route { Pty, Network, Ser2net };

// The whole program in this process on a virtual clock against the built-in model.
Row virtualRun(Context& ctx, bool slow);
// The same on a simulated chip of the newer family at 115200 Bd.
Row newerVirtualRun(Context& ctx);
// The built bsl430 as a child on the real clock, through the route to the served model.
Row servedRun(Context& ctx, Route route, bool slow);
// An image of the bytes from F000 to `last` through rfc2217:// to bsl430-sim behind a link with
// `roundTripMs` of round trip.
Row longLinkRun(Context& ctx, int roundTripMs, std::uint32_t last);
// loadIntelHex against objcopy on the same 64 KiB file.
Row hexLoad(Context& ctx);
// The peak of the tool's runs through the pseudo-terminal.
Row terminalMemory(const Context& ctx);
// A whole run of the built bsl430 against its built-in model: its peak resident set.
Row peakMemory(Context& ctx);

// This program's own path, for the measuring launcher runMeasured starts.
void setSelfPath(const std::string& path);
// Runs the tool through a fresh, small copy of this program, so that its peak is its own.
testsupport::ChildResult runMeasured(const std::vector<std::string>& argv,
                                     const std::string& outputPath);
// The launcher's side (--measure-child OUTPUT PROGRAM ARGS...): runs the program with its output
// to OUTPUT and prints "status nanoseconds peak-KiB".
int measureChild(int argc, char** argv);

}  // namespace bench
