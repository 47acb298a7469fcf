#include "platform/console_device.h"

namespace platform {
// Placeholder until the raw-terminal console lands: behaves as if there were no terminal.
std::unique_ptr<Device> openConsoleDevice(k32::DWORD) { return nullptr; }
}  // namespace platform
