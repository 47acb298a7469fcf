#include "platform/posix_serial.h"

namespace platform {
std::unique_ptr<Device> openPosixSerial(const std::string&) { return nullptr; }
}  // namespace platform
