// Simulated serial ports served under a port name for a test, so that the code under test opens
// them with CreateFileA as it would open a COM port.
#pragma once

#include <memory>
#include <string>

#include "platform/kernel32.h"
#include "platform/simulated/far_end.h"
#include "platform/simulated/simulated_port.h"

namespace platform {

// Serves `name` (for example "COM7" or "\\\\.\\COM7", matched exactly) with a new SimulatedPort on
// `farEnd` each time it is opened. Like a real COM port it is exclusive: while one handle on it is
// open, another CreateFileA of the name fails. Returns the opener id for removeDeviceOpener.
int serveTestPort(const std::string& name, std::shared_ptr<FarEnd> farEnd);

// The SimulatedPort behind an open handle, or nullptr when the handle is not one.
SimulatedPort* testPortOf(k32::HANDLE handle);

}  // namespace platform
