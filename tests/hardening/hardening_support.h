// Helpers of the fault tests: a whole run in this process on a virtual clock against a far end
// served under a port name, HEX text, scratch files, child processes with time limits.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/main_driver.h"
#include "kit/call_log.h"
#include "kit/test_port.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/simulated/far_end.h"
#include "support/child_process.h"
#include "support/hex_text.h"
#include "support/temp_dir.h"

namespace hardening {

struct InProcessRun {
    int exitCode = -1;
    std::string output;
    std::uint64_t elapsedNs = 0;  // virtual time the run took
};

// Runs the whole program (argv[0] first) from default settings on a virtual clock, with `farEnd`
// served as `portName` and standard output captured.
inline InProcessRun runInProcess(const std::vector<std::string>& argv,
                                 std::shared_ptr<platform::FarEnd> farEnd,
                                 const std::string& portName, platform::CallLog* log = nullptr) {
    platform::VirtualClock clock;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog* previousLog = platform::setCallLog(log);
    const int opener = platform::serveTestPort(portName, std::move(farEnd));

    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    resetSettings();
    InProcessRun run;
    testing::internal::CaptureStdout();
    run.exitCode = runMain(static_cast<int>(words.size()), pointers.data());
    run.output = testing::internal::GetCapturedStdout();
    run.elapsedNs = clock.nowNs();

    platform::removeDeviceOpener(opener);
    platform::setCallLog(previousLog);
    platform::setProcessClock(previousClock);
    return run;
}

// Intel HEX data records (16 bytes each at most) for the bytes from `address`, LF line ends.
using testhex::hexEnd;
using testhex::hexRecords;

// A folder for one test's files, removed with them when the object goes.
class ScratchDir {
public:
    ScratchDir() : path_(testsupport::makeTempDir("bsl430-hardening-")) {}
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream out(file(name), std::ios::binary);
        out << content;
        return file(name);
    }

private:
    std::string path_;
};

// A file's whole content ("" when it cannot be read).
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A firmware image of `bytes` bytes that ends just below the vector area, with its reset vector
// `reset`, as HEX text: what the gang's tests program. `changedAt` (0: none) gets another byte.
inline std::string firmwareBelowVectors(unsigned bytes, std::uint16_t reset = 0xF000,
                                        unsigned changedAt = 0) {
    const unsigned start = 0x10000 - 0x20 - bytes;
    std::vector<std::uint8_t> data(bytes);
    for (unsigned i = 0; i < bytes; ++i) data[i] = static_cast<std::uint8_t>(i * 5 + 1);
    if (changedAt != 0) data[changedAt - start] ^= 0x5A;
    return testhex::hexRecords(start, data) +
           testhex::hexRecords(
               0xFFFE, {static_cast<std::uint8_t>(reset), static_cast<std::uint8_t>(reset >> 8)}) +
           testhex::hexEnd();
}

// Runs on the real clock give the simulated target this setting: it waits up to a second for the
// rest of a frame, so that a loaded machine (the sanitizer builds, tests run side by side) never
// makes it abandon a frame whose bytes come late.
constexpr const char* kPatientTarget = "frame-timeout=1s";

// Child processes with time limits: the launcher the tests share with the benchmark.
using testsupport::Child;
using testsupport::endChild;
using testsupport::readUntil;
using testsupport::secondsSince;
using testsupport::startWithPipe;
using testsupport::SteadyClock;
using testsupport::waitForChild;

}  // namespace hardening
