// The lock file is taken before the port is opened. Opening a serial port raises DTR and RTS,
// which resets a board that another run is programming through it; the exclusive use of an open
// port turns an ordinary user away before that happens, but not root, so only a check made before
// the open keeps a second run off the board.
#include "platform/tty/port_lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace platform {
namespace {

// Where lock files live: /run/lock on current systems, /var/lock (often the same directory) on
// older ones.
const char* const kLockDirectories[] = {"/run/lock", "/var/lock"};

// A lock file without a readable process number may be one being written this moment; younger
// than this it is taken as held.
constexpr std::time_t kUnfinishedLockSeconds = 2;

// The lock file's name for a port: the path below /dev of the device it leads to, with '/' as
// '_' ("ttyUSB0", "pts_3"), so that every name of one port leads to one lock.
std::string lockName(const std::string& devicePath) {
    std::string path = devicePath;
    if (char* real = ::realpath(devicePath.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    const std::string dev = "/dev/";
    std::string name = path.compare(0, dev.size(), dev) == 0 ? path.substr(dev.size())
                                                             : path.substr(path.rfind('/') + 1);
    for (char& c : name)
        if (c == '/') c = '_';
    std::string out = "LCK..";
    out += name;
    return out;
}

// The process number a lock file holds, 0 when it holds none that can be read.
long readOwner(int fd) {
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    return pid <= 0 || pid > INT_MAX ? 0 : pid;
}

// Whether the lock file at `path` belongs to a process that still runs.
bool heldByLiveProcess(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno != ENOENT;  // gone meanwhile: not held; unreadable: assume held
    const long pid = readOwner(fd);
    struct stat info {};
    const bool young =
        ::fstat(fd, &info) == 0 && std::time(nullptr) - info.st_mtime < kUnfinishedLockSeconds;
    ::close(fd);
    if (pid == 0) return young;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

PortLock lockPort(const std::string& devicePath, std::string& lockPath) {
    const std::string name = lockName(devicePath);
    for (const char* directory : kLockDirectories) {
        std::string path = directory;
        path += '/';
        path += name;
        // A stale lock is removed and the creation tried once more.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                char text[16];
                const int length =
                    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
                const bool written = ::write(fd, text, length) == length;
                ::close(fd);
                if (!written) {
                    ::unlink(path.c_str());
                    break;
                }
                lockPath = path;
                return PortLock::Taken;
            }
            if (errno != EEXIST) break;  // not a directory this program may use
            if (heldByLiveProcess(path)) {
                lockPath = path;
                return PortLock::Busy;
            }
            ::unlink(path.c_str());
        }
    }
    return PortLock::Unavailable;
}

long lockFileOwner(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const long pid = readOwner(fd);
    ::close(fd);
    return pid;
}

void unlockPort(const std::string& lockPath) {
    if (!lockPath.empty()) ::unlink(lockPath.c_str());
}

}  // namespace platform
