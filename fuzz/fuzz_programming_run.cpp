// A whole programming run (runMain with "--device") against a target whose every answer comes
// from the fuzzer, on a virtual clock.
//
// Input: the first byte picks options (bit 0 "-v on", bit 1 "--slow", bit 2 "--TEST", bit 3 the
// replacement loader "-b" with a loader file); the rest feeds the far end. For every byte the host
// sends, the next input byte says how many (its low 7 bits) of the following input bytes go back
// as the answer, back to back; with its top bit set, one more byte first delays the answer by that
// many times 5 ms (up to 1.3 s, past every time-out of the host). When the input is used up the
// far end falls silent.
//
// The run is checked against a model of the conversation built from the call log (every byte
// written, every single-byte read with its value or its time-out):
// - every frame follows an acknowledged synchronisation, carries a correct checksum and is the
//   frame the run's order calls for at that point (erase, password, identification, the loader
//   upgrade for version 1.10, the speed change, the blocks of the image, their read-back);
// - the first failing exchange ends the run, and the reported outcome is exactly the error
//   number that failure stands for; "Test OK" only when every exchange of the run succeeded and
//   every block read back matched;
// - the run's virtual time stays within the waits it was allowed (reads, writes, pauses), the
//   reset line is released and the port closed at the end.
//
// With BSL430_FUZZ_MAKE_SEEDS=<dir> in the environment the program writes its seed inputs into
// <dir> instead (answers recorded from the simulated target, one per option set) and exits. With
// BSL430_FUZZ_SHOW set it tells the outcome, exchange count and virtual time of every input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bsl/frame_exchange.h"
#include "control/main_driver.h"
#include "fuzz_support.h"
#include "kit/call_log.h"
#include "kit/scripted_peer.h"
#include "kit/test_port.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "loader_peers.h"
#include "run_model.h"
#include "sim/sim_target.h"

namespace {

using fuzzsupport::fail;
using namespace runmodel;
using loaderpeers::FuzzedLoader;
using loaderpeers::Recorder;

constexpr const char* kPortName = "fuzz-port";
constexpr std::uint64_t kNsPerMs = platform::kNsPerMs;

std::string firmwarePath() { return fuzzsupport::scratchDirectory() + "/fw.hex"; }
std::string loaderPath() { return fuzzsupport::scratchDirectory() + "/loader.hex"; }

void writeImages() {
    std::string firmware, loader;
    for (const Block& b : kFirmwareBlocks) firmware += fuzzsupport::hexRecord(b.address, b.bytes);
    firmware += ":00000001FF\r\n";
    for (const Block& b : kLoaderBlocks) loader += fuzzsupport::hexRecord(b.address, b.bytes);
    loader += ":00000001FF\r\n";
    fuzzsupport::writeFile(firmwarePath(), firmware.data(), firmware.size());
    fuzzsupport::writeFile(loaderPath(), loader.data(), loader.size());
}

struct RunResult {
    std::string output;
    std::vector<Exchange> list;
    int reads = 0, writes = 0;
    std::uint64_t elapsedNs = 0;
    bool resetReleased = false;
    bool portClosed = false;
};

std::vector<std::string> commandLine(std::uint8_t options) {
    // The classic loader's run: without an answer to its synchronisation the run would go on to
    // ask the newer loader, whose packets this model does not follow.
    std::vector<std::string> words = {"bsl430", "--device", kPortName, "--family", "classic",
                                      "-v",     options & kVerify ? "on" : "off"};
    if (options & kSlow) words.push_back("--slow");
    if (options & kTestMode) words.push_back("--TEST");
    if (options & kLoaderFile) {
        words.push_back("-b");
        words.push_back(loaderPath());
    }
    words.push_back(firmwarePath());
    return words;
}

fuzzsupport::StdoutCapture& output() {
    static auto* capture = new fuzzsupport::StdoutCapture;
    return *capture;
}

RunResult run(std::uint8_t options, std::shared_ptr<platform::FarEnd> farEnd,
              const std::vector<platform::ScriptedPeer::HostLines>* lines) {
    platform::VirtualClock clock(0xFFFFF000u);  // the tick counter wraps during the run
    platform::CallLog log;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog* previousLog = platform::setCallLog(&log);
    const int opener = platform::serveTestPort(kPortName, farEnd);

    std::vector<std::string> words = commandLine(options);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    resetSettings();
    std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
    output().clear();
    const int exitCode = runMain(static_cast<int>(words.size()), argv.data());
    RunResult result;
    result.output = output().capture();
    if (exitCode != 0) fail("exit code", std::to_string(exitCode));
    result.elapsedNs = clock.nowNs();

    // The port is free again only when the run closed it.
    k32::HANDLE again = k32::CreateFileA(kPortName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                         nullptr, k32::OPEN_EXISTING, 0, nullptr);
    result.portClosed = again != k32::INVALID_HANDLE_VALUE;
    if (result.portClosed) k32::CloseHandle(again);
    if (lines) result.resetReleased = !lines->empty() && !lines->back().dtr;

    platform::removeDeviceOpener(opener);
    platform::setCallLog(previousLog);
    platform::setProcessClock(previousClock);
    result.list = exchanges(conversation(log), result.reads, result.writes);
    return result;
}

// ---- Seeds: the simulated target's answers, recorded per host byte (loader_peers.h)
// ---------------------------------

void checkRun(std::uint8_t options, const RunResult& r);

void makeSeeds(const std::string& directory) {
    int made = 0;
    for (int version = 0; version < 2; ++version) {
        for (int options = 0; options < 16; ++options) {
            // The upgrade needs the loader file; without it only one seed shows the missing file.
            if (version == 1 && !(options & kLoaderFile) && options != 0) continue;
            // Without the upgrade the loader file is never read.
            if (version == 0 && (options & kLoaderFile)) continue;
            sim::SimConfig config;
            if (version == 1) {
                config.versionMajor = 0x01;
                config.versionMinor = 0x10;
            }
            config.invertTest = (options & kTestMode) != 0;
            auto recorder = std::make_shared<Recorder>(config);
            RunResult r = run(static_cast<std::uint8_t>(options), recorder, &recorder->lines);
            const std::vector<std::uint8_t> seed = recorder->seed(static_cast<std::uint8_t>(options));
            checkRun(static_cast<std::uint8_t>(options), r);
            char name[64];
            std::snprintf(name, sizeof name, "/%s-v%d-o%X", version ? "upgrade" : "plain",
                          options & kVerify, options);
            fuzzsupport::writeFile(directory + name, seed.data(), seed.size());
            std::fprintf(stderr, "%s: outcome %d, %zu exchanges\n", name + 1,
                         reportedOutcome(r.output), r.list.size());
            ++made;
        }
    }
    std::fprintf(stderr, "%d seeds written to %s\n", made, directory.c_str());
}

// ---- The checks
// ------------------------------------------------------------------------------------

void checkRun(std::uint8_t options, const RunResult& r) {
    const int reported = reportedOutcome(r.output);
    if (reported < 0) fail("report", "neither Test OK nor an error box:\n" + r.output);
    const std::vector<int> expected = expectedOutcomes(r.list, options);
    if (std::find(expected.begin(), expected.end(), reported) == expected.end()) {
        std::string allowed;
        for (int e : expected) allowed += " " + std::to_string(e);
        fail("outcome", "reported " + std::to_string(reported) + ", the exchanges call for" +
                            (allowed.empty() ? std::string(" no run of this order") : allowed) +
                            "\n" + r.output);
    }

    checkTime(r.elapsedNs, r.list, r.reads, r.writes);
    if (!r.portClosed) fail("port", "left open");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    writeImages();
    output();
    if (const char* directory = std::getenv("BSL430_FUZZ_MAKE_SEEDS")) {
        makeSeeds(directory);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t options = data[0] & 0x0F;
    auto loader = std::make_shared<FuzzedLoader>(data + 1, size - 1);
    RunResult r = run(options, loader, &loader->lineChanges);
    checkRun(options, r);
    if (!r.resetReleased) fail("reset", "the target is left in reset");
    static const bool show = std::getenv("BSL430_FUZZ_SHOW") != nullptr;
    if (show)
        std::fprintf(stderr, "outcome %d, %zu exchanges, %llu ms\n", reportedOutcome(r.output),
                     r.list.size(), static_cast<unsigned long long>(r.elapsedNs / kNsPerMs));
    return 0;
}
