// A serial line for loader tests: a virtual process clock, a call log, and the port the loader
// operations use (portHandle), opened on a far end of the test's choosing: a scripted peer or the
// simulated target. Everything is put back when the line goes away.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bsl/bsl_commands.h"
#include "bsl/frame_exchange.h"
#include "kit/call_log.h"
#include "kit/test_port.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/kernel32.h"
#include "serial/serial_port.h"
#include "sim/sim_target.h"

namespace loadertest {

using Bytes = std::vector<std::uint8_t>;

class LoaderLine {
public:
    explicit LoaderLine(std::shared_ptr<platform::FarEnd> farEnd) {
        previousClock_ = platform::setProcessClock(&clock);
        previousLog_ = platform::setCallLog(&log);
        openerId_ = platform::serveTestPort(kName, std::move(farEnd));
        portHandle = k32::CreateFileA(kName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0, nullptr,
                                      k32::OPEN_EXISTING, 0, nullptr);
        configurePort(9600, k32::EVENPARITY);
        log.clear();
    }
    ~LoaderLine() {
        k32::CloseHandle(portHandle);
        portHandle = k32::INVALID_HANDLE_VALUE;
        platform::removeDeviceOpener(openerId_);
        platform::setCallLog(previousLog_);
        platform::setProcessClock(previousClock_);
    }
    LoaderLine(const LoaderLine&) = delete;
    LoaderLine& operator=(const LoaderLine&) = delete;

    double elapsedMs() { return static_cast<double>(clock.nowNs()) / platform::kNsPerMs; }

    platform::VirtualClock clock;
    platform::CallLog log;

private:
    static constexpr const char* kName = "BSLTEST";
    platform::Clock* previousClock_;
    platform::CallLog* previousLog_;
    int openerId_;
};

// What `run` printed on standard output.
template <class F>
std::string printedBy(F&& run) {
    testing::internal::CaptureStdout();
    run();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// A simulated chip whose loader listens from the start, with an erased flash.
inline std::shared_ptr<sim::SimTarget> listeningTarget(sim::SimConfig config = {}) {
    config.startInLoader = true;
    config.blankFlash = true;
    return std::make_shared<sim::SimTarget>(std::move(config));
}

// Mass erase and the erased-device password, as the programming run unlocks the loader.
inline int unlockLoader() {
    int result = bslExchange(kBslMassErase, 4, kMassEraseAddress, kMassEraseKey, nullptr);
    if (result != kBslOk) return result;
    return bslExchange(kBslRxPassword, 4 + kPasswordLength, kPasswordAddress, kPasswordLength,
                       erasedDevicePassword);
}

}  // namespace loadertest
