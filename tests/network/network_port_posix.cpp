// Whole programming runs of the built bsl430 through network serial ports (--device rfc2217://):
// against bsl430-sim's own server, where DTR, RTS and the line format reach the model, and against
// ser2net 4 serving bsl430-sim's pseudo-terminal, a server nobody here wrote (and, behind a long
// link, pyserial's server, which never signs). Then the connection
// pulled mid-run: the server goes away during the download and the run must end with the number
// of the step under way, without hanging.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "hardening/hardening_support.h"
#include "support/delay_proxy.h"
#include "support/hex_text.h"
#include "support/paths.h"
#include "support/ser2net_setup.h"

namespace {

using hardening::Child;
using hardening::SteadyClock;

std::string examplePath(const char* name) { return testpaths::sourceDir() + "/examples/" + name; }

// A connected TCP socket to the loopback port of an rfc2217:// address, or -1.
int connectTo(const std::string& url) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// bsl430-sim's own network server with the settings (and the server's options before them); its
// rfc2217:// address, "" on failure.
std::string startSimServer(Child& sim, const std::string& settings,
                           const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv{testpaths::simServeExe(), "--rfc2217", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(settings);
    if (!sim.start(argv)) return "";
    return sim.firstLine(10);
}

int portOf(const std::string& url) { return std::stoi(url.substr(url.rfind(':') + 1)); }

// ser2net on a free loopback port in front of bsl430-sim's pseudo-terminal; the address, "" on
// failure. The configuration lives in `dir`.
std::string startSer2net(Child& sim, Child& ser2net, const std::string& settings,
                         const hardening::ScratchDir& dir) {
    if (!sim.start({testpaths::simServeExe(), settings})) return "";
    const std::string pty = sim.firstLine(10);
    const int port = ser2netsetup::freeLoopbackPort();
    if (pty.rfind("/dev/", 0) != 0 || port <= 0) return "";
    const std::string config = dir.write("ser2net.yaml", ser2netsetup::config(pty, port));
    // -n: in the foreground; -u: no UUCP lock files.
    if (!ser2net.start({ser2netsetup::exe(), "-n", "-u", "-c", config})) return "";
    const auto start = SteadyClock::now();
    while (!ser2netsetup::listening(port)) {
        if (hardening::secondsSince(start) > 10) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "rfc2217://127.0.0.1:" + std::to_string(port);
}

// A python3 that has pyserial (Debian's python3-serial), "" when none has.
const std::string& pyserialPython() {
    static const std::string found = [] {
        for (const char* candidate : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
            Child probe;
            std::string output;
            if (access(candidate, X_OK) == 0 &&
                probe.start({candidate, "-c", "import serial.rfc2217"}) &&
                probe.finish(20, output) == 0)
                return std::string(candidate);
        }
        return std::string();
    }();
    return found;
}

// pyserial's RFC 2217 server in front of bsl430-sim's pseudo-terminal: a server that never
// answers the request for its signature. Its address, "" on failure.
std::string startPyserialServer(Child& sim, Child& server, const std::string& settings) {
    if (!sim.start({testpaths::simServeExe(), settings})) return "";
    const std::string pty = sim.firstLine(10);
    if (pty.rfind("/dev/", 0) != 0) return "";
    const std::string script = testpaths::sourceDir() + "/tests/network/pyserial_server.py";
    if (!server.start({pyserialPython(), script, pty})) return "";
    return server.firstLine(20);
}

enum class Server { Sim, Ser2net, Pyserial };

// What a test against `server` needs and this machine lacks; "" when nothing is missing.
std::string missingFor(Server server) {
    if (testpaths::simServeExe().empty()) return "bsl430-sim is not built here";
    if (server == Server::Ser2net && ser2netsetup::exe().empty()) return "ser2net is not installed";
    if (server == Server::Pyserial && pyserialPython().empty())
        return "no python3 with pyserial (Debian's python3-serial)";
    return "";
}

// bsl430-sim with the settings, served by itself or behind ser2net, for as long as this lives.
struct ServedTarget {
    hardening::ScratchDir dir;
    Child sim, ser2net;  // ser2net: the server in front of the pseudo-terminal, either one
    std::string url;     // "" when a server did not come up
    ServedTarget(Server server, const std::string& settings)
        : url(server == Server::Sim       ? startSimServer(sim, settings)
              : server == Server::Ser2net ? startSer2net(sim, ser2net, settings, dir)
                                          : startPyserialServer(sim, ser2net, settings)) {}
};

struct ToolRun {
    std::string output;
    int status = -1;  // wait status; -1: still running after the time allowed (then ended)
    double seconds = 0;
};

// The built bsl430 with the arguments; `whenSeen` (if given) is called once `marker` shows in its
// output.
template <typename OnMarker>
ToolRun runTool(const std::vector<std::string>& args, double limit, const std::string& marker,
                OnMarker&& whenSeen) {
    std::vector<std::string> argv{testpaths::toolExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    int out = -1;
    const auto start = SteadyClock::now();
    const pid_t tool = hardening::startWithPipe(argv, out);
    if (tool <= 0) return run;
    if (!marker.empty()) {
        run.output = hardening::readUntil(out, marker, limit);
        if (run.output.find(marker) != std::string::npos) whenSeen();
    }
    run.output = hardening::readUntil(out, "\n****************\n\n", limit, run.output);
    run.output = hardening::readUntil(out, "\nTest OK\n", 0.5, run.output);
    run.status = hardening::waitForChild(tool, limit);
    if (run.status == -1) hardening::endChild(tool);
    run.seconds = hardening::secondsSince(start);
    run.output = hardening::readUntil(out, "\x01", 0.2, run.output);
    close(out);
    return run;
}

ToolRun runTool(const std::vector<std::string>& args, double limit) {
    return runTool(args, limit, "", [] {});
}

// "Test OK" as 0, the number of the error box, or -1 for neither.
int outcome(const std::string& output) {
    if (output.find("\nTest OK\n") != std::string::npos) return 0;
    static const std::regex box("\n\\* Chyba c\\. ([0-9]+): ");
    std::smatch match;
    return std::regex_search(output, match, box) ? std::stoi(match[1]) : -1;
}

// A block of bytes that are mostly 0xFF, singly and in runs, which each side of the connection must
// double on the way out and undouble on the way in, in frames and in the read-back; reset vector
// E000.
std::string iacImageHex() {
    std::vector<std::uint8_t> bytes(240);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % 3 == 2 ? static_cast<std::uint8_t>(i) : 0xFF;
    return testhex::hexRecords(0xE000, bytes) + testhex::hexRecords(0xFFFE, {0x00, 0xE0}) +
           testhex::hexEnd();
}

struct RunCase {
    const char* name;
    Server server;
    const char* simSettings;
    std::vector<std::string> toolArgs;  // before the firmware file
    int expected;                       // 0: "Test OK", otherwise the error number
    bool iacImage = false;              // firmware full of 0xFF, the Telnet escape byte
    const char* identity = "#CHIP type: F149\n#BSL ver: 01.61\n";  // the lines of a run's chip
};
void PrintTo(const RunCase& c, std::ostream* out) { *out << c.name; }

class NetworkRun : public testing::TestWithParam<RunCase> {};

TEST_P(NetworkRun, EndsAsOnALocalPort) {
    const RunCase& c = GetParam();
    if (const std::string missing = missingFor(c.server); !missing.empty()) GTEST_SKIP() << missing;
    std::string settings = hardening::kPatientTarget;
    if (*c.simSettings != '\0') settings += std::string(",") + c.simSettings;
    const ServedTarget served(c.server, settings);
    const std::string& url = served.url;
    ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;

    std::vector<std::string> args{"--device", url, "-v", "on"};
    args.insert(args.end(), c.toolArgs.begin(), c.toolArgs.end());
    args.push_back(c.iacImage ? served.dir.write("ff.hex", iacImageHex())
                              : examplePath("blink.hex"));
    const ToolRun run = runTool(args, 60);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status << "\n"
                                                                       << run.output;
    EXPECT_EQ(outcome(run.output), c.expected) << run.output;
    if (c.expected == 0) {
        EXPECT_NE(run.output.find(c.identity), std::string::npos) << run.output;
    }
    std::printf("  %s: %.2f s\n", c.name, run.seconds);
}

// On bsl430-sim's server the model starts in its firmware: only the entry sequence played on DTR
// and RTS over the connection, with the board's TEST wiring, starts the loader. Behind ser2net the
// model waits in its loader (a pseudo-terminal carries no lines).
INSTANTIATE_TEST_SUITE_P(
    Servers, NetworkRun,
    testing::Values(
        RunCase{"SimServer", Server::Sim, "", {}, 0},
        RunCase{"SimServerReadBackDiffers", Server::Sim, "fault=corrupt:F100", {}, 43},
        RunCase{"SimServerEscapedBytes", Server::Sim, "", {}, 0, true},
        RunCase{"SimServerInvertedTestWithOption", Server::Sim, "invert-test", {"--TEST"}, 0},
        RunCase{"SimServerInvertedTestWithoutOption", Server::Sim, "invert-test", {}, 1},
        RunCase{"Ser2net", Server::Ser2net, "", {}, 0},
        RunCase{"Ser2netReadBackDiffers", Server::Ser2net, "fault=corrupt:F100", {}, 43},
        RunCase{"Ser2netEscapedBytes", Server::Ser2net, "", {}, 0, true},
        RunCase{"Ser2netWriteRefused", Server::Ser2net, "fault=nack:write:2", {}, 41},
        // A chip of the newer family, found by the probe after the classic loader stays silent.
        RunCase{"Ser2netNewerChip", Server::Ser2net, "chip=F5529", {}, 0, false,
                "#CHIP type: 5529\n#BSL ver: 01.01\n"}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

// A port held by one client cannot be opened by the tool, and the holder keeps its connection:
// bsl430-sim does not take a second connection; ser2net takes it, says "Port already in use" and
// closes it.
class HeldPort : public testing::TestWithParam<Server> {};

TEST_P(HeldPort, TheToolCannotOpenIt) {
    const Server server = GetParam();
    if (const std::string missing = missingFor(server); !missing.empty()) GTEST_SKIP() << missing;
    const ServedTarget served(server, "");
    const std::string& url = served.url;
    ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;
    const int holder = connectTo(url);
    ASSERT_GE(holder, 0);
    // The server's negotiation requests show that the holder is being served.
    std::uint8_t greeting[64];
    ASSERT_GT(recv(holder, greeting, sizeof greeting, 0), 0);

    const ToolRun run = runTool({"--device", url, "-v", "on", examplePath("blink.hex")}, 30);
    EXPECT_NE(run.output.find("Error opening " + url + " port!\n"), std::string::npos)
        << run.output;
    EXPECT_LT(run.seconds, 5.0) << run.output;
    std::uint8_t byte = 0;
    EXPECT_NE(recv(holder, &byte, 1, MSG_DONTWAIT), 0) << "the holder's connection was closed";
    close(holder);
}

INSTANTIATE_TEST_SUITE_P(Servers, HeldPort, testing::Values(Server::Sim, Server::Ser2net),
                         [](const testing::TestParamInfo<Server>& info) {
                             return std::string(info.param == Server::Sim ? "Sim" : "Ser2net");
                         });

// The peak resident set of a process, in KiB (0 when unknown).
long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// Clients that write far faster than the server can take it are held back by the connection, not
// queued by the server without end: one that sends every byte value (data, escapes, broken
// commands) and reads what comes back, and one that sends nothing but requests, reads none of the
// answers, and has the chip's data held (FLOWCONTROL-SUSPEND).
TEST(NetworkPort, FloodingClientsAreHeldBack) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "no /proc here";
    Child sim;
    const std::string url = startSimServer(sim, "");
    ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;
    std::vector<std::uint8_t> everyValue(65536);
    for (std::size_t i = 0; i < everyValue.size(); ++i)
        everyValue[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> requests{0xFF, 0xFA, 44, 8, 0xFF, 0xF0};  // FLOWCONTROL-SUSPEND
    while (requests.size() < 65536)
        requests.insert(requests.end(), {0xFF, 0xFA, 44, 0, 0xFF, 0xF0});  // SIGNATURE
    const struct {
        const std::vector<std::uint8_t>& chunk;
        bool readsAnswers;
    } floods[] = {{everyValue, true}, {requests, false}};
    for (const auto& flood : floods) {
        const int client = connectTo(url);
        ASSERT_GE(client, 0);
        std::size_t sent = 0;
        const auto start = SteadyClock::now();
        while (hardening::secondsSince(start) < 1.5) {
            const ssize_t n =
                send(client, flood.chunk.data(), flood.chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::uint8_t ignored[4096];
            while (flood.readsAnswers && recv(client, ignored, sizeof ignored, MSG_DONTWAIT) > 0) {}
        }
        const long peak = peakKiB(sim.pid());
        // Gone at once, with what it sent still on the way (a graceful close would queue its end
        // behind all of that).
        const linger abort{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(client);
        EXPECT_GT(sent, 200000u) << "the flood did not get going";
        // A few MiB when held back (about 16 with the sanitizers); gigabytes when queued without
        // end.
        EXPECT_LT(peak, 64 * 1024)
            << "bsl430-sim grew to " << peak << " KiB for " << sent << " bytes sent";
        std::printf("  %zu bytes offered in 1.5 s, bsl430-sim's peak so far %ld KiB\n", sent, peak);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // for the server to notice
    }
}

// ---- a board far away
// ----------------------------------------------------------------------------

// The model behind the delaying proxy: its entry sequence check leaves 10 ms for the proxy's own
// wake-up delays (the tool rests TEST for 200 ms, the model's default minimum).
constexpr const char* kBehindTheProxy = "frame-timeout=1s,entry-rest=190ms";

// A small image (two blocks), so that the long round trips keep the run short: erase, password,
// identification, speed change, two writes and two read-backs are 8 exchanges.
std::string smallImageHex() {
    std::vector<std::uint8_t> code(64);
    for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 5 + 1);
    return testhex::hexRecords(0xF000, code) + testhex::hexRecords(0xFFFE, {0x00, 0xF0}) +
           testhex::hexEnd();
}
// Every exchange waits out two round trips (the synchronisation byte's acknowledge, then the
// frame's answer), the open one more (the server's first answer) and the close one (the server
// ending the connection after the last request).
constexpr int kSmallImageRoundTrips = 2 * 8 + 2;

class LongLink : public testing::TestWithParam<std::tuple<Server, int>> {};

// Behind a link that adds the round trip, against a loader that takes a second 0x80 as the start
// of a frame: the read time-outs grow by the round trip measured, so the run still ends in "Test
// OK" with the image verified, in about the time the protocol needs plus the round trips. The
// round trip is measured from what every server answers: pyserial's never signs.
TEST_P(LongLink, ProgramsInTheProtocolsTimePlusTheRoundTrips) {
    const auto [server, roundTripMs] = GetParam();
    if (const std::string missing = missingFor(server); !missing.empty()) GTEST_SKIP() << missing;
    const ServedTarget served(server, kBehindTheProxy);
    ASSERT_EQ(served.url.rfind("rfc2217://127.0.0.1:", 0), 0u) << served.url;
    delayproxy::DelayProxy link(portOf(served.url), roundTripMs, 120);
    ASSERT_GT(link.port(), 0);
    const std::string image = served.dir.write("small.hex", smallImageHex());
    const ToolRun run = runTool(
        {"--device", "rfc2217://127.0.0.1:" + std::to_string(link.port()), "-v", "on", image}, 90);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    EXPECT_EQ(outcome(run.output), 0) << run.output;
    // The protocol's own part of this run is about 1.5 s (entry sequence, waits, wire time).
    const double limit = 3.0 + 1.05 * kSmallImageRoundTrips * roundTripMs / 1000.0;
    EXPECT_LT(run.seconds, limit) << run.output;
    std::printf("  %d ms round trip: %.2f s (at most %.2f s)\n", roundTripMs, run.seconds, limit);
}

INSTANTIATE_TEST_SUITE_P(RoundTrips, LongLink,
                         testing::Combine(testing::Values(Server::Sim, Server::Ser2net,
                                                          Server::Pyserial),
                                          testing::Values(0, 100, 500, 1000)),
                         [](const auto& info) {
                             const Server server = std::get<0>(info.param);
                             return std::string(server == Server::Sim       ? "SimServer"
                                                : server == Server::Ser2net ? "Ser2net"
                                                                            : "Pyserial") +
                                    std::to_string(std::get<1>(info.param)) + "ms";
                         });

// ---- clients that do not play along
// ----------------------------------------------------------------

// What a client does to bsl430-sim's server before the tool's run.
enum class Hostile {
    SlowQueueLeft,  // sets 1 Bd, writes 8 KiB (days of line time) and leaves
    SilentHolder,   // connects and sends nothing
};

struct HostileCase {
    const char* name;
    std::vector<std::string> serverOptions;
    Hostile client;
    double waitSeconds;  // before the tool's run starts
};
void PrintTo(const HostileCase& c, std::ostream* out) { *out << c.name; }

class HostileClient : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileClient, TheNextRunProgramsAtNormalSpeed) {
    const HostileCase& c = GetParam();
    if (const std::string missing = missingFor(Server::Sim); !missing.empty())
        GTEST_SKIP() << missing;
    Child sim;
    const std::string url = startSimServer(sim, hardening::kPatientTarget, c.serverOptions);
    ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;
    const int client = connectTo(url);
    ASSERT_GE(client, 0);
    if (c.client == Hostile::SlowQueueLeft) {
        std::vector<std::uint8_t> bytes{0xFF, 0xFA, 44, 1, 0, 0, 0, 1, 0xFF, 0xF0};  // 1 Bd
        bytes.resize(bytes.size() + 8192, 0x55);
        ASSERT_EQ(send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(client);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(c.waitSeconds));

    const ToolRun run = runTool({"--device", url, "-v", "on", examplePath("blink.hex")}, 30);
    EXPECT_EQ(outcome(run.output), 0) << run.output;
    EXPECT_LT(run.seconds, 10.0) << run.output;
    if (c.client == Hostile::SilentHolder) {  // the server has ended its connection
        std::uint8_t buffer[256];
        ssize_t n;
        while ((n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {}
        EXPECT_EQ(n, 0) << "the silent client's connection";
        close(client);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clients, HostileClient,
    testing::Values(
        HostileCase{"DroppedQueueLeavesNoTrace", {}, Hostile::SlowQueueLeft, 0},
        HostileCase{"IdleLimitFreesTheBoard", {"--idle-limit", "1"}, Hostile::SilentHolder, 1.5},
        HostileCase{"TakeOver", {"--take-over"}, Hostile::SilentHolder, 0}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// ---- the connection pulled mid-run
// ---------------------------------------------------------------

// The longest a run may go on once the server is gone: the exchange under way runs out its
// time-outs (at worst a data reply of 257 missing bytes, 100 ms each), then three unanswered
// synchronisation bytes, the pauses in between and the final reset hold.
constexpr double kAfterPullLimitSeconds = 1.0 + 26.0 + 0.3 + 0.36;

class PulledConnection : public testing::TestWithParam<Server> {};

TEST_P(PulledConnection, RunEndsWithTheStepsErrorInTime) {
    const Server server = GetParam();
    if (const std::string missing = missingFor(server); !missing.empty()) GTEST_SKIP() << missing;
    // Slow writes keep the download under way when the server goes.
    ServedTarget served(server, std::string("write-time=2ms,") + hardening::kPatientTarget);
    const std::string& url = served.url;
    ASSERT_EQ(url.rfind("rfc2217://127.0.0.1:", 0), 0u) << url;

    SteadyClock::time_point pulled{};
    bool didPull = false;
    const ToolRun run =
        runTool({"--device", url, "-v", "on", examplePath("blink.hex")}, 60, ">F000\r", [&] {
            (server == Server::Sim ? served.sim : served.ser2net)
                .stop();  // the network server goes away
            pulled = SteadyClock::now();
            didPull = true;
        });
    ASSERT_TRUE(didPull) << run.output;
    const double after = hardening::secondsSince(pulled);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status << "\n"
                                                                       << run.output;
    EXPECT_EQ(outcome(run.output), 41) << run.output;
    EXPECT_LT(after, kAfterPullLimitSeconds) << run.output;
    std::printf("  error %d, the tool ended %.2f s after the server went away\n",
                outcome(run.output), after);
}

// The link breaks inside the second read-back reply of blink.hex (its first reply begins about
// 270 bytes into what the server sends, the second about 420 and is 246 long): the reads that
// follow fail at once, as on a pulled adapter, and the reply's missing bytes cost what the
// exchange's own time limits make them (100 ms each), not a round trip more.
TEST(NetworkPort, ALinkBrokenInsideAReplyEndsTheRunAsAPulledAdapter) {
    if (const std::string missing = missingFor(Server::Sim); !missing.empty())
        GTEST_SKIP() << missing;
    const ServedTarget served(Server::Sim, kBehindTheProxy);
    ASSERT_EQ(served.url.rfind("rfc2217://127.0.0.1:", 0), 0u) << served.url;
    delayproxy::DelayProxy link(portOf(served.url), 0, 120);
    link.cutAfterServerBytes(500);
    const ToolRun run = runTool({"--device", "rfc2217://127.0.0.1:" + std::to_string(link.port()),
                                 "-v", "on", examplePath("blink.hex")},
                                60);
    ASSERT_TRUE(link.cut()) << run.output;
    const double after = std::chrono::duration<double>(SteadyClock::now() - link.cutAt()).count();
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    const int error = outcome(run.output);
    EXPECT_TRUE(error == 42 || error == 43) << run.output;
    EXPECT_LT(after, kAfterPullLimitSeconds) << run.output;
    std::printf("  error %d, the tool ended %.2f s after the link broke\n", error, after);
}

INSTANTIATE_TEST_SUITE_P(Servers, PulledConnection, testing::Values(Server::Sim, Server::Ser2net),
                         [](const testing::TestParamInfo<Server>& info) {
                             return std::string(info.param == Server::Sim ? "SimServer"
                                                                          : "Ser2net");
                         });

}  // namespace
