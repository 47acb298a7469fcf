// The trace as a reader of its file sees it: lines in time order whatever order the model recorded
// them in, times from power-on, and an event that keeps coming counted in one line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/trace.h"
#include "support/temp_dir.h"

namespace {

constexpr std::uint64_t kMs = 1000000;
constexpr std::uint64_t kPowerOn = 3600000 * kMs;  // an hour into the host's clock

sim::TraceEntry byteEntry(sim::TraceEntry::Kind kind, std::uint64_t t, std::uint8_t byte) {
    sim::TraceEntry e;
    e.timeNs = t;
    e.kind = kind;
    e.byte = byte;
    e.received = byte;
    return e;
}

std::vector<std::string> linesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SimTrace, FileIsInTimeOrderFromPowerOnWithRepeatsCounted) {
    const std::string dir = testsupport::makeTempDir("bsl430-trace-");
    const std::string path = dir + "/trace";
    std::vector<std::uint64_t> keptTimes;
    {
        sim::Trace trace(path, true);
        trace.setOrigin(kPowerOn);
        trace.note(kPowerOn, "power on");
        // The target's byte starts at 1 ms and arrives at 2.04 ms; the host's, recorded after it,
        // arrives at 1.5 ms.
        trace.record(byteEntry(sim::TraceEntry::Kind::ModelByte, kPowerOn + 2040000, 0x90));
        trace.record(byteEntry(sim::TraceEntry::Kind::HostByte, kPowerOn + 1500000, 0x80));
        // Not yet written: the model's time has not reached the target's byte.
        EXPECT_EQ(linesOf(path).size(), 2u);
        trace.note(kPowerOn + 3 * kMs, "watchdog key violation: reset");
        for (int i = 1; i < 134; ++i)
            trace.noteRepeated(kPowerOn + (3 + i) * kMs, "watchdog key violation: reset");
        trace.advanceTo(kPowerOn + 200 * kMs);
        for (const auto& e : trace.entries()) keptTimes.push_back(e.timeNs - kPowerOn);
    }
    EXPECT_EQ(linesOf(path), (std::vector<std::string>{
                                 "       0.000000 ms  target  power on",
                                 "       1.500000 ms  host >  80 (target got 80)",
                                 "       2.040000 ms     < target 90 (host got 90)",
                                 "       3.000000 ms  target  watchdog key violation: reset",
                                 "     200.000000 ms  target  watchdog key violation: reset (134 "
                                 "times in all, the last at 136.000000 ms)",
                             }));
    EXPECT_EQ(keptTimes, (std::vector<std::uint64_t>{0, 1500000, 2040000, 3 * kMs}));
    std::filesystem::remove_all(dir);
}

}  // namespace
