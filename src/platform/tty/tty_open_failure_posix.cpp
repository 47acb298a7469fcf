#include "platform/tty/tty_open_failure.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {
namespace {

// Whether this process counts as a member of group `gid`.
bool inGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<std::size_t>(i)] == gid) return true;
    return false;
}

// The remedy for a port this user may not open: membership of the group that owns it (dialout on
// Debian, uucp on others), which counts only from the next login on.
std::string permissionRemedy(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || inGroup(info.st_gid)) return "";
    const group* owner = ::getgrgid(info.st_gid);
    if (owner == nullptr || owner->gr_gid == 0) return "";
    const std::string name = owner->gr_name;
    return "; you are not in group " + name + ": add yourself (as root: usermod -aG " + name +
           " <user>) and log in again";
}

}  // namespace

std::string ttyOpenFailure(const std::string& path, int error) {
    std::string text = path + ": " + std::strerror(error);
    switch (error) {
        case ENOENT:
            text +=
                " (is the adapter plugged in? USB adapters are /dev/ttyUSB<n> or /dev/ttyACM<n>,"
                " given with --device)";
            break;
        case EACCES:
        case EPERM: text += permissionRemedy(path); break;
        case EBUSY:
        case EWOULDBLOCK: text += " (the port is in use by another program)"; break;
        case ENOTTY:
        case EISDIR:
        case EINVAL: text = path + " is not a serial port"; break;
        case ENXIO:
        case ENODEV:
        case EIO: text += " (no device answers behind it: unplugged?)"; break;
        default: break;
    }
    return text;
}

std::string ttyLockedFailure(const std::string& path, const std::string& lockPath, long owner) {
    std::string text = path + " is in use by ";
    text += owner > 0 ? "process " + std::to_string(owner) : std::string("another program");
    return text + " (its lock file " + lockPath + ")";
}

}  // namespace platform
