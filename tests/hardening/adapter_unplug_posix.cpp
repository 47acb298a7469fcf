// The adapter disappears in the middle of a run: on the test backend (every call fails from then
// on) at points all through a run, and on a real pseudo-terminal whose far side, the served
// simulated target, goes away. Each run must end with its numbered error box and exit code 0,
// without a crash or an endless loop, within the time the loader exchanges allow: the exchange
// under way finishes its time-outs (at worst a data reply of 257 silent bytes, about 26 s), the
// next one gives up after its three synchronisation attempts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "serial/serial_port.h"
#include "sim/sim_target.h"
#include "support/paths.h"

namespace {

using platform::kNsPerMs;

// The longest a run may go on once the adapter is gone: the first answer to a frame (1 s), a data
// reply announcing 255 bytes that never come (3 + 257 reads of 100 ms), then three unanswered
// synchronisation bytes (300 ms), the pauses in between and the final reset hold.
constexpr std::uint64_t kAfterUnplugLimitNs = (1000 + 260 * 100 + 300 + 10 + 50 + 300) * kNsPerMs;

// The simulated target behind a switch: after a given number of bytes from the host, or from the
// target, the cable is cut at that moment (nothing more passes either way) and the adapter is
// pulled out of the port the program has open, so that every later call on it fails.
class PulledAdapter final : public platform::FarEnd, private platform::HostLink {
public:
    PulledAdapter(sim::SimConfig config, std::optional<unsigned> afterHostBytes,
                  std::optional<unsigned> afterTargetBytes)
        : target_(std::make_shared<sim::SimTarget>(std::move(config))),
          afterHost_(afterHostBytes),
          afterTarget_(afterTargetBytes) {
        target_->attach(this);
    }

    std::optional<std::uint64_t> pulledAtNs;
    unsigned hostBytes = 0;
    unsigned targetBytes = 0;

    void hostLines(std::uint64_t t, bool dtr, bool rts) override {
        if (!pulledAtNs) target_->hostLines(t, dtr, rts);
    }
    void hostFormat(std::uint64_t t, const platform::LineFormat& f) override {
        if (!pulledAtNs) target_->hostFormat(t, f);
    }
    void hostByte(std::uint64_t t, std::uint8_t byte, const platform::LineFormat& f) override {
        if (pulledAtNs) return;
        ++hostBytes;
        target_->hostByte(t, byte, f);
        if (afterHost_ && hostBytes == *afterHost_) pull(t);
    }
    void advanceTo(std::uint64_t t) override { target_->advanceTo(t); }
    std::optional<std::uint64_t> nextEventTime() override {
        return pulledAtNs ? std::nullopt : target_->nextEventTime();
    }

private:
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override {
        if (pulledAtNs) return;
        ++targetBytes;
        if (link_) link_->deliver(arrivalNs, byte);
        if (afterTarget_ && targetBytes == *afterTarget_) pull(arrivalNs);
    }
    platform::LineFormat hostFormat() const override {
        return link_ ? link_->hostFormat() : platform::LineFormat{};
    }
    void pull(std::uint64_t t) {
        pulledAtNs = t;
        platform::SimulatedPort* port = platform::testPortOf(portHandle);
        ASSERT_NE(port, nullptr);
        port->unplug();
    }

    std::shared_ptr<sim::SimTarget> target_;
    std::optional<unsigned> afterHost_;
    std::optional<unsigned> afterTarget_;
};

std::string examplePath(const char* name) { return testpaths::sourceDir() + "/examples/" + name; }

struct PullCase {
    const char* name;
    std::optional<unsigned> afterHostBytes;
    std::optional<unsigned> afterTargetBytes;
    bool loaderUpgrade;
    std::vector<int> errors;  // the error numbers the step under way may end with
};
void PrintTo(const PullCase& c, std::ostream* out) { *out << c.name; }

class AdapterPulled : public testing::TestWithParam<PullCase> {};

TEST_P(AdapterPulled, RunEndsWithErrorBoxInTime) {
    const PullCase& c = GetParam();
    sim::SimConfig config;
    // The loader takes a moment to answer, as a real one does, so that an adapter pulled right
    // after a frame's last byte takes the answer with it.
    config.syncAnswerNs = 200 * sim::kNsPerUs;
    config.frameAnswerNs = 2 * sim::kNsPerMs;
    std::vector<std::string> argv = {"bsl430", "--device", "pulled", "-v", "on"};
    if (c.loaderUpgrade) {
        config.versionMinor = 0x10;
        argv.insert(argv.end(), {"-b", examplePath("bsl_replacement.hex")});
    }
    argv.push_back(examplePath("blink.hex"));
    auto adapter = std::make_shared<PulledAdapter>(config, c.afterHostBytes, c.afterTargetBytes);
    platform::CallLog log;
    hardening::InProcessRun run = hardening::runInProcess(argv, adapter, "pulled", &log);

    ASSERT_TRUE(adapter->pulledAtNs.has_value()) << "the run ended before the adapter was pulled";
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output.find("Test OK"), std::string::npos) << run.output;
    static const std::regex box("\n\\*{16}\n\\* Chyba c\\. ([0-9]+): [a-zA-Z ]+\n\\*{16}\n\n$");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.output, match, box)) << run.output;
    const int error = std::stoi(match[1]);
    EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), error), c.errors.end())
        << "error " << error << " is not the step's where the adapter went";
    const std::uint64_t afterNs = run.elapsedNs - *adapter->pulledAtNs;
    EXPECT_LE(afterNs, kAfterUnplugLimitNs) << afterNs / kNsPerMs << " ms after the adapter went";
    // No endless retrying: a bounded number of system calls once the adapter is gone.
    std::size_t callsAfter = 0;
    for (const auto& call : log.calls) callsAfter += call.timeNs >= *adapter->pulledAtNs ? 1 : 0;
    EXPECT_LT(callsAfter, 200000u);
    std::printf("  error %d, %.1f s and %zu calls after the adapter went\n", error,
                static_cast<double>(afterNs) / 1e9, callsAfter);
}

// A run of blink.hex with verify sends 570 bytes: erase, password, identification and speed change
// take bytes 1 to 76, the four blocks 77 to 526, their read-back the rest. The loader upgrade puts
// its 20 erases at 66 to 285, its password at 297 to 339, the loader's block at 340 to 388, its
// read-back and start at 389 to 410. The target's bytes 5 to 22 are the identification reply.
INSTANTIATE_TEST_SUITE_P(
    Points, AdapterPulled,
    testing::Values(
        PullCase{"FirstSync", 1u, std::nullopt, false, {1, 2, 3}},
        PullCase{"InsideEraseHeader", 4u, std::nullopt, false, {1, 2, 3}},
        PullCase{"AfterEraseFrame", 11u, std::nullopt, false, {1, 2, 3}},
        PullCase{"InsidePassword", 30u, std::nullopt, false, {4, 5, 6}},
        PullCase{"InsideFirstBlock", 120u, std::nullopt, false, {41}},
        PullCase{"InsideLargestBlock", 420u, std::nullopt, false, {41}},
        PullCase{"DuringReadBack", 540u, std::nullopt, false, {42, 43}},
        // A reply cut short is read to its announced end, each missing byte a time-out; the run
        // goes on with it until the next exchange finds nobody there.
        PullCase{"InsideIdentificationReply", std::nullopt, 8u, false, {7, 8, 9, 25, 26, 27}},
        PullCase{"InsideReadBackReply", std::nullopt, 60u, false, {42, 43}},
        PullCase{"DuringUpgradeErases", 100u, std::nullopt, true, {1, 2, 3}},
        PullCase{"DuringLoaderDownload", 360u, std::nullopt, true, {36}},
        PullCase{"DuringLoaderStart", 405u, std::nullopt, true, {39}}),
    [](const testing::TestParamInfo<PullCase>& info) { return std::string(info.param.name); });

// ---- A real pseudo-terminal whose far side goes away
// -----------------------------------------------

// The simulated target served on a pseudo-terminal; the served model ends (closing its side) when
// `trigger` shows in the tool's output.
struct ServedCase {
    const char* name;
    const char* simSettings;
    const char* trigger;
};
void PrintTo(const ServedCase& c, std::ostream* out) { *out << c.name; }

class ServedModelGone : public testing::TestWithParam<ServedCase> {};

TEST_P(ServedModelGone, RunEndsWithErrorBoxInTime) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    const ServedCase& c = GetParam();

    int simOut = -1;
    pid_t sim = hardening::startWithPipe(
        {testpaths::simServeExe(), std::string(c.simSettings) + "," + hardening::kPatientTarget},
        simOut);
    ASSERT_GT(sim, 0);
    std::string simText = hardening::readUntil(simOut, "\n", 10);
    ASSERT_NE(simText.find("/dev/pts/"), std::string::npos) << simText;
    const std::string pty = simText.substr(0, simText.find('\n'));

    int toolOut = -1;
    pid_t tool = hardening::startWithPipe(
        {testpaths::toolExe(), "--device", pty, "-v", "on", examplePath("blink.hex")}, toolOut);
    ASSERT_GT(tool, 0);
    std::string output = hardening::readUntil(toolOut, c.trigger, 30);
    const bool triggered = output.find(c.trigger) != std::string::npos;
    kill(sim, SIGTERM);  // the served model closes its side of the terminal
    const auto gone = hardening::SteadyClock::now();
    const int simStatus = hardening::waitForChild(sim, 10);
    if (simStatus == -1) hardening::endChild(sim);

    output = hardening::readUntil(toolOut, "\n****************\n\n", 40, output);
    const int status = hardening::waitForChild(tool, 40);
    const double seconds = hardening::secondsSince(gone);
    if (status == -1) hardening::endChild(tool);
    output = hardening::readUntil(toolOut, "\x01", 1, output);  // whatever is left
    close(toolOut);
    close(simOut);

    ASSERT_TRUE(triggered) << output;
    ASSERT_GE(status, 0) << "the tool did not end within 40 s of the model going away:\n" << output;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << output;
    EXPECT_NE(output.find("\n* Chyba c. "), std::string::npos) << output;
    EXPECT_EQ(output.find("Test OK"), std::string::npos) << output;
    EXPECT_LT(seconds, kAfterUnplugLimitNs / 1e9) << output;
    const std::string::size_type number = output.rfind("Chyba c. ");
    std::printf("  error %s, the tool ended %.2f s after the served model went away\n",
                number == std::string::npos ? "?" : output.substr(number + 9, 2).c_str(), seconds);
}

// The model is slowed where the trigger shows so that it is still mid-run when it goes.
INSTANTIATE_TEST_SUITE_P(
    Points, ServedModelGone,
    testing::Values(ServedCase{"DuringErase", "erase-time=500ms", "#mazani procesoru..."},
                    ServedCase{"DuringDownload", "write-time=2ms", ">F000\r"}),
    [](const testing::TestParamInfo<ServedCase>& info) { return std::string(info.param.name); });

}  // namespace
