// Windows device names on Linux/macOS: "COMn" and "\\.\COMn" are the n-th serial port
// (/dev/ttyS<n-1>), "CON" is the console, "rfc2217://HOST:PORT" a port served over the network,
// and any other name is a device path.
#include <cctype>
#include <string>

#include "platform/console/console_device.h"
#include "platform/device.h"
#include "platform/network/rfc2217_port.h"
#include "platform/open_failure.h"
#include "platform/tty/posix_serial.h"

namespace platform {
namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == 0;
}

// The port number of "COMn" (n from 1 up, case as Windows ignores it), or 0 when the name is not
// a numbered port.
unsigned long comPortNumber(const std::string& name) {
    if (name.size() < 4 || !equalsIgnoringCase(name.substr(0, 3), "COM")) return 0;
    unsigned long n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        n = n * 10 + static_cast<unsigned long>(name[i] - '0');
        if (n > 1000000) return 0;
    }
    return n;
}

}  // namespace

std::unique_ptr<Device> openSystemDevice(const std::string& name, k32::DWORD access) {
    if (isNetworkPortName(name)) return openNetworkPort(name);
    std::string bare = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    if (equalsIgnoringCase(bare, "CON")) return openConsoleDevice(access);
    if (unsigned long n = comPortNumber(bare)) {
        const std::string path = "/dev/ttyS" + std::to_string(n - 1);
        auto device = openPosixSerial(path);
        // The reason names the device path; say which COM port it stands for.
        if (!device) {
            const std::string reason = lastOpenFailure();
            const std::string here = bare + " is " + path + " here";
            if (reason.compare(0, path.size() + 2, path + ": ") == 0)
                setOpenFailure(here + reason.substr(path.size()));
            else
                setOpenFailure(here + "; " + reason);
        }
        return device;
    }
    if (bare.size() >= 3 && equalsIgnoringCase(bare.substr(0, 3), "COM") && bare != name) {
        setOpenFailure(name + " names no port: COM takes a number from 1 up");
        return nullptr;
    }
    if (name.empty()) {
        setOpenFailure("no device name was given");
        return nullptr;
    }
    return openPosixSerial(name);
}

}  // namespace platform
