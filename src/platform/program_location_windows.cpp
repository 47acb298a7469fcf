#include "platform/program_location.h"

namespace platform {

// The directory ends at the last backslash of argument zero; a forward slash does not count.
std::string programDirectory(const char* argument0) {
    const std::string path = argument0 != nullptr ? argument0 : "";
    const std::string::size_type separator = path.rfind('\\');
    return separator == std::string::npos ? "" : path.substr(0, separator + 1);
}

std::string installedDataDirectory() { return ""; }

std::string relocatedDataDirectory(const std::string&) { return ""; }

}  // namespace platform
