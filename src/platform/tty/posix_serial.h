// A serial device on Linux/macOS (termios, ioctl, poll) with the Windows semantics the kernel32
// calls promise.
#pragma once

#include <memory>
#include <string>

#include "platform/device.h"

namespace platform {
// Opens a tty device path for exclusive use; nullptr when it cannot be opened, is not a terminal,
// or is in use by another program.
std::unique_ptr<Device> openPosixSerial(const std::string& path);
}  // namespace platform
