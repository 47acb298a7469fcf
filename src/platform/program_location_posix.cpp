#include "platform/program_location.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace platform {
namespace {

std::string directoryOf(const std::string& path) {
    const std::string::size_type separator = path.rfind('/');
    return separator == std::string::npos ? "" : path.substr(0, separator + 1);
}

std::string resolved(const std::string& path) {
    std::string out;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        out = real;
        ::free(real);
    }
    return out;
}

// The running executable as the system knows it; "" where it cannot say.
std::string runningExecutable() {
#if defined(__linux__)
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return "";
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
#elif defined(__APPLE__)
    std::uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);
    std::vector<char> buffer(size + 1);
    if (::_NSGetExecutablePath(buffer.data(), &size) != 0) return "";
    return resolved(buffer.data());
#else
    return "";
#endif
}

// The first executable file of this name in PATH, as a real path; "" when there is none.
std::string searchPath(const std::string& name) {
    const char* entry = ::getenv("PATH");
    if (entry == nullptr || name.empty()) return "";
    for (;;) {
        const char* colon = std::strchr(entry, ':');
        const std::size_t length =
            colon != nullptr ? static_cast<std::size_t>(colon - entry) : std::strlen(entry);
        // An empty entry is the working directory.
        std::string candidate = length == 0 ? std::string(".") : std::string(entry, length);
        candidate.push_back('/');
        candidate.append(name);
        if (::access(candidate.c_str(), X_OK) == 0) return resolved(candidate);
        if (colon == nullptr) return "";
        entry = colon + 1;
    }
}

}  // namespace

std::string programDirectory(const char* argument0) {
    const std::string name = argument0 != nullptr ? argument0 : "";
    if (name.find('/') != std::string::npos) return directoryOf(name);
    std::string self = runningExecutable();
    if (self.empty()) self = searchPath(name);
    return directoryOf(self);
}

std::string installedDataDirectory() {
#ifdef BSL430_INSTALL_DATADIR
    return BSL430_INSTALL_DATADIR "/";
#else
    return "";
#endif
}

std::string relocatedDataDirectory(const std::string& programDirectory) {
    if (programDirectory.empty()) return "";
    const std::string found = resolved(programDirectory + "../share/bsl430");
    if (found.empty()) return "";
    const std::string configured = installedDataDirectory();
    if (!configured.empty() && resolved(configured) == found) return "";
    return found + "/";
}

}  // namespace platform
