// The console as a device: CreateFileA("CON") on Linux/macOS opens the controlling terminal
// (/dev/tty) in raw mode and reports keys as console input records, as Windows does.
#pragma once

#include <memory>

#include "platform/device.h"

namespace platform {
// nullptr when there is no controlling terminal.
std::unique_ptr<Device> openConsoleDevice(k32::DWORD access);
}  // namespace platform
