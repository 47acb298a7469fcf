// Lock files for serial ports in the UUCP manner: /run/lock/LCK..ttyUSB0, holding the owner's
// process number as ten characters and a newline, as minicom, ser2net and other serial programs
// write and honour them. POSIX only.
#pragma once

#include <string>

namespace platform {

enum class PortLock {
    Taken,        // the lock file is ours; `lockPath` names it
    Busy,         // a running process holds the port; `lockPath` names its lock file
    Unavailable,  // no lock directory this program may write to: the port goes without
};

// Takes the lock file for the serial port at `devicePath`. A lock file whose process no longer
// runs is stale and is replaced.
PortLock lockPort(const std::string& devicePath, std::string& lockPath);

// The process number in a lock file; 0 when there is none to read.
long lockFileOwner(const std::string& lockPath);

// Removes a lock file that lockPort took.
void unlockPort(const std::string& lockPath);

}  // namespace platform
