#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gang/durable_file.h"

namespace gang {
namespace {

std::string reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Puts the folder's entries (a file made or renamed in it) on the disk.
void syncFolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

int lockWhole(int fd) {
    int result;
    do result = ::flock(fd, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

bool appendLocked(const std::string& path, const std::string& header, const std::string& text,
                  std::string& error) {
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags | O_EXCL, 0644);
    const bool made = fd >= 0;
    if (!made && errno == EEXIST) fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error = reason("cannot open", path);
        return false;
    }
    // A file made here is only found after a power cut once its folder's entry is on the disk.
    if (made) syncFolderOf(path);
    bool ok = lockWhole(fd) == 0;
    struct stat status {};
    if (ok) ok = ::fstat(fd, &status) == 0;
    const bool locked = ok;
    if (ok && status.st_size == 0 && !header.empty()) ok = writeAll(fd, header);
    if (ok) ok = writeAll(fd, text) && ::fsync(fd) == 0;
    if (!ok) {
        error = reason("cannot write", path);
        // What went in of a record that did not all go in is taken out again: the file never
        // ends in half a line that the next record would be glued to.
        if (locked && ::ftruncate(fd, status.st_size) == 0) ::fsync(fd);
    }
    ::close(fd);  // lets the lock go
    return ok;
}

FileLock::FileLock(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = reason("cannot open", path);
        return;
    }
    handle_ = fd;
    if (lockWhole(fd) != 0) {
        error_ = reason("cannot lock", path);
        return;
    }
    held_ = true;
}

FileLock::~FileLock() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool replaceDurably(const std::string& path, const std::string& content, std::string& error) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = reason("cannot write", temporary);
        return false;
    }
    const bool written = writeAll(fd, content) && ::fsync(fd) == 0;
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = reason("cannot replace", path);
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is on the disk once the folder is.
    syncFolderOf(path);
    return true;
}

bool readWholeFile(const std::string& path, std::string& content, bool& missing) {
    content.clear();
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        return false;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > 4096) break;  // a number file is short; more is not one
    }
    ::close(fd);
    return true;
}

}  // namespace gang
