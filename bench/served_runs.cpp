// The measurements of the built bsl430 on the real clock: a child process that programs the model
// bsl430-sim serves, through a pseudo-terminal, through rfc2217:// (directly or by ser2net), and
// behind a long link.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bench_runs.h"
#include "support/delay_proxy.h"
#include "support/ser2net_setup.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Child;
using testsupport::ChildResult;
using testsupport::runChild;

constexpr double kTerminalBound = 1.05;

// Starts a server that prints its terminal path or network address first; that line, "" when it
// did not start or said nothing within ten seconds.
std::string startServer(Child& server, const std::vector<std::string>& argv) {
    return server.start(argv) ? server.firstLine(10) : "";
}

// The peak resident set that wait4 reports for a child covers its life before exec too, when it
// is still a copy of this process with every model and image the benchmark holds. So the tool is
// started by a fresh, small copy of this program (--measure-child), which runs it, waits for it
// and reports its exit status, its time and its peak.
std::string selfPath;

}  // namespace

void setSelfPath(const std::string& path) { selfPath = path; }

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

int measureChild(int argc, char** argv) {
    if (argc < 4) return 2;
    std::vector<std::string> words(argv + 3, argv + argc);
    ChildResult child = runChild(words, argv[2]);
    std::printf("%d %.0f %ld\n", child.status, child.ns, child.maxRssKiB);
    return 0;
}

namespace {

const char* routeName(Route route) {
    switch (route) {
        case Route::Pty: return "pty to bsl430-sim";
        case Route::Network: return "rfc2217:// to bsl430-sim";
        case Route::Ser2net: return "rfc2217:// to ser2net, pty to bsl430-sim";
    }
    return "";
}

// Starts the servers of the route; the device the tool is to open, or "" with `note` set.
std::string startRoute(const Context& ctx, Route route, Child& sim, Child& ser2net,
                       std::string& note) {
    if (route == Route::Network) {
        const std::string url =
            startServer(sim, {BSL430_SIM_PATH, "--rfc2217", "0", kModelSettings});
        if (url.empty()) note = "bsl430-sim did not start";
        return url;
    }
    const std::string pty = startServer(sim, {BSL430_SIM_PATH, kModelSettings});
    if (pty.empty()) {
        note = "bsl430-sim did not start";
        return "";
    }
    if (route == Route::Pty) return pty;
    const int port = ser2netsetup::freeLoopbackPort();
    const std::string config = ctx.dir + "/ser2net.yaml";
    const bool written = writeFile(config, ser2netsetup::config(pty, port));
    const std::string exe = ser2netsetup::exe();
    if (port <= 0 || !written || exe.empty() ||
        !ser2net.start({exe, "-n", "-u", "-c", config}, true)) {
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

}  // namespace

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
        Child sim, ser2net;
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
        Child sim;
        // The entry sequence's check leaves 10 ms for the proxy's own wake-up delays.
        const std::string url = startServer(
            sim,
            {BSL430_SIM_PATH, "--rfc2217", "0", std::string(kModelSettings) + ",entry-rest=190ms"});
        if (url.empty()) {
            row.note = "bsl430-sim did not start";
            return row;
        }
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

}  // namespace bench
