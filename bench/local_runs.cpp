// The measurements in this process and of the tool's memory: a run on the virtual clock, the HEX
// loader against objcopy, and the peak resident set of whole runs.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bench_runs.h"
#include "control/main_driver.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/newer_loader.h"
#include "sim/sim_target.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ChildResult;
using testsupport::runChild;

constexpr double kVirtualBound = 1.02;
constexpr double kMemoryBoundKiB = 8 * 1024;
constexpr int kLoadRepeats = 10;

}  // namespace

namespace {

// Runs the whole program with `words` in this process on a virtual clock, its output into
// `logPath`; the virtual nanoseconds it took, or a negative figure when the output could not be
// redirected.
double runOnVirtualClock(std::vector<std::string> words, const std::string& logPath) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    // The run's own output goes to a file, not between the table's lines.
    std::fflush(stdout);
    int saved = dup(1);
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved < 0 || fd < 0) {
        if (saved >= 0) close(saved);
        if (fd >= 0) close(fd);
        return -1;
    }
    dup2(fd, 1);
    close(fd);

    platform::VirtualClock clock;
    platform::Clock* previous = platform::setProcessClock(&clock);
    resetSettings();
    const std::uint64_t begin = clock.nowNs();
    runMain(static_cast<int>(words.size()), argv.data());
    const std::uint64_t end = clock.nowNs();
    platform::setProcessClock(previous);

    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return static_cast<double>(end - begin);
}

// The first address whose byte in the chip (peek) differs from the image, as the row's note;
// "" when all agree.
template <typename Peek>
std::string firstDifference(const Cells& cells, Peek peek) {
    for (std::uint32_t a = 0; a < cells.size(); ++a) {
        if (cells[a] >= 0 && peek(a) != cells[a]) {
            char text[64];
            std::snprintf(text, sizeof text, "flash differs from the image at %04X",
                          static_cast<unsigned>(a));
            return text;
        }
    }
    return "";
}

// What the model saw, beside what the protocol needs: equal counts mean no repeated byte, no
// lost frame and nothing extra on the line.
void noteBytes(Context& ctx, const char* name, const sim::SimTarget& target,
               const IdealRun& ideal) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s: bytes host->target %zu (ideal %llu), target->host %zu (ideal %llu), "
                  "exchanges %u",
                  name, target.hostBytes().size(), static_cast<unsigned long long>(ideal.hostBytes),
                  target.modelBytes().size(), static_cast<unsigned long long>(ideal.targetBytes),
                  ideal.exchanges);
    ctx.details.push_back(text);
}

// Runs `words` in this process on a virtual clock and times the run against `ideal`; then fails
// the row when the run did not succeed, `peek` (which reads the chip the run opened) finds no
// chip (it returns -1 at address 0: `missing` says which), or the chip does not hold the image.
template <typename Peek>
void timeVirtualRun(Context& ctx, Row& row, const IdealRun& ideal,
                    const std::vector<std::string>& words, const std::string& logPath, Peek peek,
                    const char* missing) {
    row.bound = "<= 1.02";
    row.reference = seconds(ideal.totalNs());
    const double measured = runOnVirtualClock(words, logPath);
    if (measured < 0) {
        row.note = "cannot redirect the run's output";
        return;
    }
    row.ran = true;
    row.measured = seconds(measured);
    row.ratio = measured / ideal.totalNs();
    row.pass = row.ratio <= kVirtualBound;
    ctx.details.push_back(excessText(row.what, measured, ideal));

    const std::string output = readFile(logPath);
    if (!runSucceeded(output)) {
        row.pass = false;
        row.note = failureText(output);
    } else if (peek(0) < 0) {
        row.pass = false;
        row.note = missing;
    } else if (std::string differs = firstDifference(ctx.cells48, peek); !differs.empty()) {
        row.pass = false;
        row.note = differs;
    }
}

}  // namespace

// The whole program in this process on a virtual clock against the built-in model.
Row virtualRun(Context& ctx, bool slow) {
    Row row;
    row.what = std::string("run ") + speedName(slow) + ", virtual clock, --device sim";
    const IdealRun ideal = idealRun(ctx.cells48, slow);
    std::shared_ptr<sim::SimTarget> target;
    timeVirtualRun(ctx, row, ideal,
                   runArguments(std::string("sim:") + kModelSettings, slow, ctx.image48),
                   ctx.dir + "/virtual-" + (slow ? "9600" : "38400") + ".txt",
                   [&](std::uint32_t a) {
                       if (!target) target = sim::lastSimTarget();
                       return target ? int{target->peek(static_cast<std::uint16_t>(a))} : -1;
                   },
                   "no simulated target was opened");
    if (row.ran && !target) target = sim::lastSimTarget();
    if (row.ran && target) {
        noteBytes(ctx, speedName(slow), *target, ideal);
        const auto& trace = target->trace();
        char text[200];
        std::snprintf(
            text, sizeof text,
            "%s: the model keeps %zu trace entries in memory, %.2f MiB of vector alone",
            speedName(slow), trace.size(),
            static_cast<double>(trace.capacity() * sizeof(sim::TraceEntry)) / (1024 * 1024));
        ctx.details.push_back(text);
    }
    return row;
}

// The same image on a chip of the newer family (an F5529, its family named so that no classic
// attempt comes first) at 115200 Bd, in this process on a virtual clock.
Row newerVirtualRun(Context& ctx) {
    Row row;
    row.what = "run 115200 Bd, virtual clock, --device sim:chip=F5529";
    const IdealRun ideal = idealPacketRun(ctx.cells48, kNewerBufferBytes);
    std::vector<std::string> words = runArguments("sim:chip=F5529", false, ctx.image48);
    words.insert(words.begin() + 1, {"--family", "5xx"});
    std::shared_ptr<sim::SimTarget> target;
    timeVirtualRun(ctx, row, ideal, words, ctx.dir + "/virtual-newer.txt",
                   [&](std::uint32_t a) {
                       if (!target) target = sim::lastSimTarget();
                       const sim::NewerLoader* loader = target ? target->newerLoader() : nullptr;
                       return loader ? int{loader->peek(a)} : -1;
                   },
                   "no simulated chip of the newer family was opened");
    if (row.ran && !target) target = sim::lastSimTarget();
    if (row.ran && target) noteBytes(ctx, "115200 Bd, newer family", *target, ideal);
    return row;
}

// loadIntelHex against objcopy on the same 64 KiB file, interleaved so that a disturbance of the
// machine falls on both alike; the best time of each counts.
Row hexLoad(Context& ctx) {
    Row row;
    row.what = "load 64 KiB HEX: loadIntelHex vs objcopy";
    row.bound = "<= 1.00";
    const std::string binary = ctx.dir + "/image64.bin";
    double ours = std::numeric_limits<double>::infinity();
    double theirs = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kLoadRepeats; ++i) {
        const Clock::time_point begin = Clock::now();
        int loaded = loadIntelHex(ctx.image64.c_str(), 0);
        const double ns = static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count());
        if (loaded != 0) {
            row.note = "loadIntelHex refused the file";
            return row;
        }
        ours = std::min(ours, ns);

        ChildResult child = runChild({"objcopy", "-I", "ihex", "-O", "binary", ctx.image64, binary},
                                     ctx.dir + "/objcopy.txt", true);
        if (!child.started || !WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0) {
            row.note = "objcopy did not run";
            return row;
        }
        theirs = std::min(theirs, child.ns);
    }
    // Both must have read the whole file for the times to mean anything.
    for (std::uint32_t a = 0; a < 0x10000; ++a) {
        if (MemoryImage[a] != ctx.cells64[a]) {
            row.note = "loadIntelHex loaded something else";
            return row;
        }
    }
    const std::string bytes = readFile(binary);
    bool same = bytes.size() == 0x10000;
    for (std::size_t a = 0; same && a < bytes.size(); ++a)
        same = static_cast<std::uint8_t>(bytes[a]) == ctx.cells64[a];
    if (!same) {
        row.note = "objcopy wrote something else";
        return row;
    }
    row.ran = true;
    row.measured = millis(ours);
    row.reference = millis(theirs);
    row.ratio = ours / theirs;
    row.pass = ours <= theirs;
    ctx.details.push_back("HEX load: best of " + std::to_string(kLoadRepeats) +
                          " each; objcopy's time is its whole process, start-up included");
    return row;
}

namespace {

// A memory row's figures: the peak against the bound.
void measuredPeak(Row& row, long peakKiB) {
    row.ran = true;
    row.measured = mebibytes(static_cast<double>(peakKiB));
    row.ratio = static_cast<double>(peakKiB) / kMemoryBoundKiB;
    row.pass = row.ratio < 1.0;
}

}  // namespace

// The peak of the tool's runs through the pseudo-terminal: the tool alone, on a real port.
Row terminalMemory(const Context& ctx) {
    Row row;
    row.what = "peak memory, bsl430 run through the pty";
    row.bound = "< 8 MiB";
    row.reference = mebibytes(kMemoryBoundKiB);
    if (ctx.terminalPeakKiB <= 0) {
        row.note = "no run through the pty succeeded";
        return row;
    }
    measuredPeak(row, ctx.terminalPeakKiB);
    return row;
}

// A whole run of the built bsl430 against its built-in model: its peak resident set.
Row peakMemory(Context& ctx) {
    Row row;
    row.what = "peak memory, bsl430 --device sim run";
    row.bound = "< 8 MiB";
    row.reference = mebibytes(kMemoryBoundKiB);
    const std::string logPath = ctx.dir + "/memory-run.txt";
    std::vector<std::string> argv =
        runArguments(std::string("sim:") + kModelSettings, false, ctx.image48);
    argv[0] = BSL430_TOOL_PATH;
    ChildResult child = runMeasured(argv, logPath);
    if (!child.started) {
        row.note = "bsl430 did not start";
        return row;
    }
    measuredPeak(row, child.maxRssKiB);
    const std::string output = readFile(logPath);
    if (!runSucceeded(output)) {
        row.pass = false;
        row.note = failureText(output);
    }
    // Not bounded, but telling: the built-in model on the real clock, against the same ideal.
    const bench::IdealRun ideal = bench::idealRun(ctx.cells48, false);
    char text[160];
    std::snprintf(text, sizeof text,
                  "memory run (--device sim, 38400 Bd, real clock): %.3f s, %.4f x the ideal",
                  child.ns / 1e9, child.ns / ideal.totalNs());
    ctx.details.push_back(text);
    ctx.details.push_back(excessText("memory run", child.ns, ideal));
    return row;
}

}  // namespace bench
