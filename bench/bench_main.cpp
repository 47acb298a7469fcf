// bsl430-bench: how close a programming run comes to what the loader protocol itself costs, how
// fast the HEX loader is, and how much memory a run takes. Prints one table.
//
//   bsl430-bench [--quick | --network] [--repeat N] [--keep]
//
//   --quick     only the runs on the virtual clock and the HEX load (under a second)
//   --network   only the runs through rfc2217:// (about two minutes)
//   --repeat N  runs on the real clock N times each and keeps the best (default 1; one round of
//               them takes about 230 s, the memory run another 40 s)
//   --keep      keep the temporary directory with the images and the runs' output
//
// Runs: a 48 KiB image (4000-FFFF, pseudo-random bytes, reset vector 4000) programmed and read
// back at 9600 Bd (--slow) and at 38400 Bd:
//   - in this process on a virtual clock, through the built-in simulated target (--device sim);
//   - the built bsl430 as a child process on the real clock, through a pseudo-terminal served by
//     bsl430-sim;
//   - the same at 38400 Bd through rfc2217:// to bsl430-sim's network server (the entry sequence
//     crosses the connection), and through ser2net serving bsl430-sim's pseudo-terminal (skipped
//     as "not run" without ser2net);
//   - a small image through rfc2217:// to bsl430-sim behind a link that adds 100 ms (4 KiB, 40
//     exchanges) and 1000 ms (64 bytes, 8 exchanges) of round trip (a delaying proxy), set
//     against the ideal plus the round trips the run waits for: two per exchange (the
//     synchronisation byte's acknowledge, the frame's answer), one at the open (the server's
//     signature) and one at the close (the server ending the connection after the last request).
// Each is set against the ideal: the wire time of every byte the protocol exchanges (11 bits a
// character) plus the protocol's waits, worked out from the image.
// Also: loadIntelHex on a 64 KiB HEX file against objcopy on the same file, and the peak resident
// set of the built bsl430 in a whole run, against its built-in model and through the pty.
// The exit status is 0 when every figure keeps its bound, 1 otherwise, 2 when the benchmark could
// not run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/main_driver.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "run_timing.h"
#include "sim/sim_device.h"
#include "sim/sim_target.h"
#include "support/delay_proxy.h"
#include "support/ser2net_setup.h"

namespace {

using Clock = std::chrono::steady_clock;

// The model's loader is pinned to a version that needs no upgrade, so the run is the one the
// ideal describes whatever the model's default becomes.
const char* const kModelSettings = "version=1.61";

constexpr double kVirtualBound = 1.02;
constexpr double kTerminalBound = 1.05;
constexpr double kMemoryBoundKiB = 8 * 1024;
constexpr int kLoadRepeats = 10;

struct Row {
    std::string what;
    std::string measured;
    std::string reference;
    double ratio = 0;
    std::string bound;
    bool ran = false;
    bool pass = false;
    std::string note;  // why it failed or did not run
};

std::string seconds(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", ns / 1e9);
    return text;
}

std::string millis(double ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    return text;
}

std::string mebibytes(double kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MiB", kib / 1024);
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out);
}

// How far a run lies above its ideal, in all and per exchange.
std::string excessText(const std::string& what, double measuredNs, const bench::IdealRun& ideal) {
    const double excess = measuredNs - ideal.totalNs();
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s: %+.3f ms over the ideal, %+.1f us per exchange, %+.2f us per byte sent",
                  what.c_str(), excess / 1e6, excess / 1e3 / ideal.exchanges,
                  excess / 1e3 / static_cast<double>(ideal.hostBytes));
    return text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool runSucceeded(const std::string& output) {
    return output.find("\nTest OK\n") != std::string::npos;
}

// The last line of a run's output that says what went wrong, for the table's note.
std::string failureText(const std::string& output) {
    if (output.empty()) return "no output";
    std::string::size_type at = output.find("Chyba c.");
    if (at == std::string::npos) at = output.rfind('#');
    if (at == std::string::npos) return "no \"Test OK\"";
    std::string line = output.substr(at, output.find('\n', at) - at);
    return "no \"Test OK\": " + line;
}

// ---- child processes ----

struct ChildResult {
    bool started = false;
    int status = 0;
    double ns = 0;       // from fork to reaping
    long maxRssKiB = 0;  // the child's peak resident set
};

// Runs `argv` (looked up on PATH when `search`) with standard output and error to `outputPath`.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& outputPath,
                     bool search = false) {
    ChildResult result;
    std::vector<char*> words;
    for (const std::string& w : argv) words.push_back(const_cast<char*>(w.c_str()));
    words.push_back(nullptr);

    std::fflush(stdout);
    const Clock::time_point begin = Clock::now();
    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        if (search)
            execvp(words[0], words.data());
        else
            execv(words[0], words.data());
        _exit(127);
    }
    rusage usage{};
    pid_t done;
    do {
        done = wait4(pid, &result.status, 0, &usage);
    } while (done < 0 && errno == EINTR);
    result.ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count());
    result.started =
        done == pid && !(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 127);
    result.maxRssKiB = usage.ru_maxrss;  // kilobytes on Linux
    return result;
}

// The peak resident set that wait4 reports for a child covers its life before exec too, when it
// is still a copy of this process with every model and image the benchmark holds. So the tool is
// started by a fresh, small copy of this program (--measure-child), which runs it, waits for it
// and reports its exit status, its time and its peak.
std::string selfPath;

ChildResult runMeasured(const std::vector<std::string>& argv, const std::string& outputPath) {
    const std::string reportPath = outputPath + ".measure";
    std::vector<std::string> words{selfPath, "--measure-child", outputPath};
    words.insert(words.end(), argv.begin(), argv.end());
    ChildResult launcher = runChild(words, reportPath);
    ChildResult result;
    if (!launcher.started || !WIFEXITED(launcher.status) || WEXITSTATUS(launcher.status) != 0)
        return result;
    int status = 0;
    double ns = 0;
    long rss = 0;
    if (std::sscanf(readFile(reportPath).c_str(), "%d %lf %ld", &status, &ns, &rss) != 3)
        return result;
    result.status = status;
    result.ns = ns;
    result.maxRssKiB = rss;
    result.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
    return result;
}

// The launcher's side: runs the program with its output to `outputPath` and prints
// "status nanoseconds peak-KiB".
int measureChild(int argc, char** argv) {
    if (argc < 4) return 2;
    std::vector<std::string> words(argv + 3, argv + argc);
    ChildResult child = runChild(words, argv[2]);
    std::printf("%d %.0f %ld\n", child.status, child.ns, child.maxRssKiB);
    return 0;
}

// A server this benchmark starts (bsl430-sim, ser2net) and ends again.
class ServedModel {
public:
    ~ServedModel() { stop(); }

    // Starts `argv`; with `firstLine`, waits for the line the server prints first (bsl430-sim's
    // terminal path or network address) and keeps it as path().
    bool start(const std::vector<std::string>& argv, bool firstLine = true) {
        std::vector<char*> words;
        for (const std::string& w : argv) words.push_back(const_cast<char*>(w.c_str()));
        words.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return false;
        pid_ = fork();
        if (pid_ < 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        if (pid_ == 0) {
            // A server that prints no line (ser2net) writes nothing between the table's lines.
            const int quiet = firstLine ? out[1] : open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            if (!firstLine) dup2(quiet, 2);
            close(out[0]);
            close(out[1]);
            execv(words[0], words.data());
            _exit(127);
        }
        close(out[1]);
        if (!firstLine) {
            close(out[0]);
            return true;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        char c = 0;
        while (Clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            if (read(out[0], &c, 1) != 1 || c == '\n') break;
            path_ += c;
        }
        close(out[0]);
        return c == '\n' && !path_.empty();
    }

    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
    }

    const std::string& path() const { return path_; }

private:
    pid_t pid_ = -1;
    std::string path_;
};

// ---- the measurements ----

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

std::vector<std::string> runArguments(const std::string& device, bool slow,
                                      const std::string& image) {
    std::vector<std::string> argv{"bsl430", "--device", device, "-v", "on"};
    if (slow) argv.push_back("--slow");
    argv.push_back(image);
    return argv;
}

const char* speedName(bool slow) { return slow ? "9600 Bd" : "38400 Bd"; }

// The whole program in this process on a virtual clock against the built-in model.
Row virtualRun(Context& ctx, bool slow) {
    Row row;
    row.what = std::string("run ") + speedName(slow) + ", virtual clock, --device sim";
    row.bound = "<= 1.02";
    const bench::IdealRun ideal = bench::idealRun(ctx.cells48, slow);
    row.reference = seconds(ideal.totalNs());

    const std::string logPath = ctx.dir + "/virtual-" + (slow ? "9600" : "38400") + ".txt";
    std::vector<std::string> words =
        runArguments(std::string("sim:") + kModelSettings, slow, ctx.image48);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    // The run's own output goes to a file, not between the table's lines.
    std::fflush(stdout);
    int saved = dup(1);
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (saved < 0 || fd < 0) {
        row.note = "cannot redirect the run's output";
        if (saved >= 0) close(saved);
        if (fd >= 0) close(fd);
        return row;
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

    row.ran = true;
    const double measured = static_cast<double>(end - begin);
    row.measured = seconds(measured);
    row.ratio = measured / ideal.totalNs();
    row.pass = row.ratio <= kVirtualBound;
    ctx.details.push_back(excessText(row.what, measured, ideal));

    const std::string output = readFile(logPath);
    auto target = sim::lastSimTarget();
    if (!runSucceeded(output)) {
        row.pass = false;
        row.note = failureText(output);
    } else if (!target) {
        row.pass = false;
        row.note = "no simulated target was opened";
    } else {
        for (std::uint32_t a = 0; a < 0x10000; ++a) {
            if (ctx.cells48[a] >= 0 &&
                target->peek(static_cast<std::uint16_t>(a)) != ctx.cells48[a]) {
                char text[64];
                std::snprintf(text, sizeof text, "flash differs from the image at %04X",
                              static_cast<unsigned>(a));
                row.pass = false;
                row.note = text;
                break;
            }
        }
    }
    if (target) {
        // What the model saw, beside what the protocol needs: equal counts mean no repeated sync
        // byte, no lost frame and nothing extra on the line.
        char text[200];
        std::snprintf(
            text, sizeof text,
            "%s: bytes host->target %zu (ideal %llu), target->host %zu (ideal %llu), exchanges %u",
            speedName(slow), target->hostBytes().size(),
            static_cast<unsigned long long>(ideal.hostBytes), target->modelBytes().size(),
            static_cast<unsigned long long>(ideal.targetBytes), ideal.exchanges);
        ctx.details.push_back(text);
        const auto& trace = target->trace();
        std::snprintf(
            text, sizeof text,
            "%s: the model keeps %zu trace entries in memory, %.2f MiB of vector alone",
            speedName(slow), trace.size(),
            static_cast<double>(trace.capacity() * sizeof(sim::TraceEntry)) / (1024 * 1024));
        ctx.details.push_back(text);
    }
    return row;
}

// What a run on the real clock goes through to the simulated target.
enum class Route { Pty, Network, Ser2net };

const char* routeName(Route route) {
    switch (route) {
        case Route::Pty: return "pty to bsl430-sim";
        case Route::Network: return "rfc2217:// to bsl430-sim";
        case Route::Ser2net: return "rfc2217:// to ser2net, pty to bsl430-sim";
    }
    return "";
}

// Starts the servers of the route; the device the tool is to open, or "" with `note` set.
std::string startRoute(const Context& ctx, Route route, ServedModel& sim, ServedModel& ser2net,
                       std::string& note) {
    if (route == Route::Network) {
        if (!sim.start({BSL430_SIM_PATH, "--rfc2217", "0", kModelSettings}))
            note = "bsl430-sim did not start";
        return note.empty() ? sim.path() : "";
    }
    if (!sim.start({BSL430_SIM_PATH, kModelSettings})) {
        note = "bsl430-sim did not start";
        return "";
    }
    if (route == Route::Pty) return sim.path();
    const int port = ser2netsetup::freeLoopbackPort();
    const std::string config = ctx.dir + "/ser2net.yaml";
    const bool written = writeFile(config, ser2netsetup::config(sim.path(), port));
    const std::string exe = ser2netsetup::exe();
    if (port <= 0 || !written || exe.empty() ||
        !ser2net.start({exe, "-n", "-u", "-c", config}, false)) {
        note = "ser2net did not start";
        return "";
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (!ser2netsetup::listening(port)) {
        if (Clock::now() > deadline) {
            note = "ser2net did not listen (is it installed?)";
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

// The built bsl430 as a child on the real clock, through the route to the served model. The run
// through ser2net has no bound: its ratio is reported.
Row servedRun(Context& ctx, Route route, bool slow) {
    Row row;
    row.what = std::string("run ") + speedName(slow) + ", real clock, " + routeName(route);
    row.bound = "<= 1.05";
    const bench::IdealRun ideal = bench::idealRun(ctx.cells48, slow);
    row.reference = seconds(ideal.totalNs());

    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < ctx.repeat; ++i) {
        ServedModel sim, ser2net;
        const std::string device = startRoute(ctx, route, sim, ser2net, row.note);
        if (device.empty()) return row;
        const std::string logPath = ctx.dir + "/run-" + std::to_string(static_cast<int>(route)) +
                                    "-" + (slow ? "9600" : "38400") + "-" + std::to_string(i + 1) +
                                    ".txt";
        std::vector<std::string> argv = runArguments(device, slow, ctx.image48);
        argv[0] = BSL430_TOOL_PATH;
        ChildResult child = runMeasured(argv, logPath);
        ser2net.stop();
        sim.stop();
        if (!child.started) {
            row.note = "bsl430 did not start";
            return row;
        }
        const std::string output = readFile(logPath);
        if (!runSucceeded(output)) {
            row.ran = true;
            row.measured = seconds(child.ns);
            row.ratio = child.ns / ideal.totalNs();
            row.note = failureText(output);
            return row;
        }
        best = std::min(best, child.ns);
        if (route == Route::Pty)
            ctx.terminalPeakKiB = std::max(ctx.terminalPeakKiB, child.maxRssKiB);
        char text[200];
        std::snprintf(text, sizeof text, "%s, %s, run %d: %.3f s, peak memory of bsl430 %.2f MiB",
                      speedName(slow), routeName(route), i + 1, child.ns / 1e9,
                      static_cast<double>(child.maxRssKiB) / 1024);
        ctx.details.push_back(text);
    }
    row.ran = true;
    row.measured = seconds(best);
    row.ratio = best / ideal.totalNs();
    row.pass = row.ratio <= kTerminalBound;
    ctx.details.push_back(excessText(row.what, best, ideal));
    if (ctx.repeat > 1) row.what += ", best of " + std::to_string(ctx.repeat);
    return row;
}

// An image of the bytes from F000 to `last` through rfc2217:// to bsl430-sim behind a link with
// `roundTripMs` of round trip.
Row longLinkRun(Context& ctx, int roundTripMs, std::uint32_t last) {
    Row row;
    row.what = "run 38400 Bd, real clock, rfc2217:// to bsl430-sim, " +
               std::to_string(roundTripMs) + " ms round trip, " +
               std::to_string(last - 0xF000 + 1) + "-byte image";
    row.bound = "<= 1.05";
    bench::Cells cells = bench::randomImage(0xF000, last, 0x51ED270B);
    cells[0xFFFE] = 0x00;  // reset vector: F000
    cells[0xFFFF] = 0xF0;
    const std::string image = ctx.dir + "/small.hex";
    const bench::IdealRun ideal = bench::idealRun(cells, false);
    const double referenceNs = ideal.totalNs() + (2.0 * ideal.exchanges + 2) * roundTripMs * 1e6;
    row.reference = seconds(referenceNs);
    if (!writeFile(image, bench::intelHexText(cells))) {
        row.note = "cannot write the image";
        return row;
    }
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < ctx.repeat; ++i) {
        ServedModel sim;
        // The entry sequence's check leaves 10 ms for the proxy's own wake-up delays.
        if (!sim.start({BSL430_SIM_PATH, "--rfc2217", "0",
                        std::string(kModelSettings) + ",entry-rest=190ms"})) {
            row.note = "bsl430-sim did not start";
            return row;
        }
        const std::string url = sim.path();
        delayproxy::DelayProxy link(std::stoi(url.substr(url.rfind(':') + 1)), roundTripMs, 120);
        const std::string logPath =
            ctx.dir + "/link-" + std::to_string(roundTripMs) + "-" + std::to_string(i + 1) + ".txt";
        std::vector<std::string> argv =
            runArguments("rfc2217://127.0.0.1:" + std::to_string(link.port()), false, image);
        argv[0] = BSL430_TOOL_PATH;
        ChildResult child = runMeasured(argv, logPath);
        sim.stop();
        const std::string output = readFile(logPath);
        if (!child.started || !runSucceeded(output)) {
            row.note = child.started ? failureText(output) : "bsl430 did not start";
            return row;
        }
        best = std::min(best, child.ns);
    }
    row.ran = true;
    row.measured = seconds(best);
    row.ratio = best / referenceNs;
    row.pass = row.ratio <= kTerminalBound;
    char text[200];
    std::snprintf(text, sizeof text, "%s: %+.1f ms over the ideal plus %u round trips",
                  row.what.c_str(), (best - referenceNs) / 1e6, 2 * ideal.exchanges + 2);
    ctx.details.push_back(text);
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
    row.ran = true;
    row.measured = mebibytes(static_cast<double>(ctx.terminalPeakKiB));
    row.ratio = static_cast<double>(ctx.terminalPeakKiB) / kMemoryBoundKiB;
    row.pass = row.ratio < 1.0;
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
    row.ran = true;
    row.measured = mebibytes(static_cast<double>(child.maxRssKiB));
    row.ratio = static_cast<double>(child.maxRssKiB) / kMemoryBoundKiB;
    row.pass = row.ratio < 1.0;
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

void printTable(const std::vector<Row>& rows) {
    std::printf("%-68s %12s %12s %7s %8s  %s\n", "measurement", "measured", "reference", "ratio",
                "bound", "result");
    for (const Row& r : rows) {
        char ratio[16] = "-";
        if (r.ran) std::snprintf(ratio, sizeof ratio, "%.4f", r.ratio);
        std::printf("%-68s %12s %12s %7s %8s  %s\n", r.what.c_str(),
                    r.ran ? r.measured.c_str() : "-",
                    r.reference.empty() ? "-" : r.reference.c_str(), ratio, r.bound.c_str(),
                    !r.ran   ? "not run"
                    : r.pass ? "pass"
                             : "FAIL");
    }
    for (const Row& r : rows) {
        if (!r.note.empty()) std::printf("  %s: %s\n", r.what.c_str(), r.note.c_str());
    }
}

void printIdeal(const char* name, const bench::IdealRun& run) {
    std::printf(
        "  ideal %-8s: %u exchanges, %llu bytes out + %llu bytes back = %.3f s on the wire, "
        "+ %llu ms of waits = %.3f s\n",
        name, run.exchanges, static_cast<unsigned long long>(run.hostBytes),
        static_cast<unsigned long long>(run.targetBytes), run.wireNs / 1e9,
        static_cast<unsigned long long>(run.waitMs), run.totalNs() / 1e9);
}

int usage(const char* self) {
    std::printf("usage: %s [--quick] [--repeat N] [--keep]\n", self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--measure-child") == 0) return measureChild(argc, argv);
    std::error_code error;
    selfPath = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) selfPath = argv[0];
    bool quick = false;
    bool network = false;
    bool keep = false;
    Context ctx;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--network") {
            network = true;
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--repeat" && i + 1 < argc) {
            ctx.repeat = std::atoi(argv[++i]);
            if (ctx.repeat < 1 || ctx.repeat > 100) return usage(argv[0]);
        } else {
            return usage(argv[0]);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    sim::registerSimDevice();
    sim::setKeepSimTrace(true);  // the byte counts of a run come from the model's trace

    std::string pattern = (std::filesystem::temp_directory_path() / "bsl430-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::printf("cannot make a temporary directory\n");
        return 2;
    }
    ctx.dir = pattern;
    ctx.cells48 = bench::randomImage(0x4000, 0xFFFF, 0x2545F491);
    ctx.cells48[0xFFFE] = 0x00;  // reset vector: 4000
    ctx.cells48[0xFFFF] = 0x40;
    ctx.cells64 = bench::randomImage(0x0000, 0xFFFF, 0x9E3779B9);
    ctx.image48 = ctx.dir + "/image48.hex";
    ctx.image64 = ctx.dir + "/image64.hex";
    if (!writeFile(ctx.image48, bench::intelHexText(ctx.cells48)) ||
        !writeFile(ctx.image64, bench::intelHexText(ctx.cells64))) {
        std::printf("cannot write the images into %s\n", ctx.dir.c_str());
        return 2;
    }

    const std::vector<bench::Block> blocks = bench::formBlocks(ctx.cells48, 0x10000);
    std::printf(
        "bsl430 benchmark: 48 KiB image 4000-FFFF in %zu blocks, program and verify (-v on)\n\n",
        blocks.size());

    std::vector<Row> rows;
    if (network) {
        rows.push_back(servedRun(ctx, Route::Network, false));
        rows.push_back(servedRun(ctx, Route::Ser2net, false));
        rows.push_back(longLinkRun(ctx, 100, 0xFFFF));
        rows.push_back(longLinkRun(ctx, 1000, 0xF03F));
        printTable(rows);
        for (const std::string& d : ctx.details) std::printf("  %s\n", d.c_str());
        std::filesystem::remove_all(ctx.dir);
        bool allPass = true;
        for (const Row& r : rows) allPass = allPass && r.ran && r.pass;
        return allPass ? 0 : 1;
    }
    rows.push_back(virtualRun(ctx, true));
    rows.push_back(virtualRun(ctx, false));
    if (!quick) {
        rows.push_back(servedRun(ctx, Route::Pty, true));
        rows.push_back(servedRun(ctx, Route::Pty, false));
        rows.push_back(servedRun(ctx, Route::Network, false));
        rows.push_back(servedRun(ctx, Route::Ser2net, false));
        rows.push_back(longLinkRun(ctx, 100, 0xFFFF));
        rows.push_back(longLinkRun(ctx, 1000, 0xF03F));
    }
    rows.push_back(hexLoad(ctx));
    if (!quick) {
        rows.push_back(peakMemory(ctx));
        rows.push_back(terminalMemory(ctx));
    }

    printTable(rows);
    std::printf("\n");
    printIdeal("9600 Bd", bench::idealRun(ctx.cells48, true));
    printIdeal("38400 Bd", bench::idealRun(ctx.cells48, false));
    for (const std::string& d : ctx.details) std::printf("  %s\n", d.c_str());
    if (keep)
        std::printf("  files kept in %s\n", ctx.dir.c_str());
    else
        std::filesystem::remove_all(ctx.dir);

    bool allPass = true;
    for (const Row& r : rows) allPass = allPass && r.ran && r.pass;
    return allPass ? 0 : 1;
}
