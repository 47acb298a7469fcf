// A serial line for tests, set up for the life of one object: a virtual clock as the process
// clock, a call log, and a scripted peer served under a port name. Everything is put back as it
// was when the bench goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kit/call_log.h"
#include "kit/scripted_peer.h"
#include "kit/test_port.h"
#include "platform/clock.h"
#include "platform/kernel32.h"

namespace platform {

class TestBench {
public:
    explicit TestBench(std::uint32_t startTick = 0, std::string portName = "COM1");
    ~TestBench();
    TestBench(const TestBench&) = delete;
    TestBench& operator=(const TestBench&) = delete;

    // Opens the port as the driver does (read/write, exclusive, existing, synchronous).
    k32::HANDLE open();
    // The port behind the handle open() returned.
    SimulatedPort* port() const { return testPortOf(handle); }
    // Virtual time in milliseconds since the bench was made.
    double elapsedMs() { return static_cast<double>(clock.nowNs()) / kNsPerMs; }

    VirtualClock clock;
    CallLog log;
    std::shared_ptr<ScriptedPeer> peer = std::make_shared<ScriptedPeer>();
    std::string portName;
    k32::HANDLE handle = k32::INVALID_HANDLE_VALUE;

private:
    Clock* previousClock_;
    CallLog* previousLog_;
    int openerId_;
};

}  // namespace platform
