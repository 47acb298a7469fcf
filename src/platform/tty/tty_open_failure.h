// The reasons a serial device on Linux/macOS could not be opened, in words for the person at the
// keyboard, with what usually helps. POSIX only.
#pragma once

#include <string>

namespace platform {

// A step of the open failed with the system's error number `error`.
std::string ttyOpenFailure(const std::string& path, int error);

// Another running program holds the port's lock file (`owner` 0: its number is unknown).
std::string ttyLockedFailure(const std::string& path, const std::string& lockPath, long owner);

}  // namespace platform
