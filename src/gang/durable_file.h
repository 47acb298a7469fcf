// Files that several gangs share: appends under a lock and replacements that a crash or a power
// cut never leaves half done.
#pragma once

#include <cstdint>
#include <string>

namespace gang {

// Appends `text` to the file at `path` (made when missing) under an exclusive lock, with `header`
// in front when the file is empty; the text is on the disk before the lock is let go.
bool appendLocked(const std::string& path, const std::string& header, const std::string& text,
                  std::string& error);

// An exclusive lock on a file of its own (made when missing), held until the object ends. Other
// processes and other FileLocks in this one wait for it.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return held_; }
    const std::string& error() const { return error_; }

private:
    std::intptr_t handle_ = -1;
    bool held_ = false;
    std::string error_;
};

// Replaces the content of the file at `path`: written to a file beside it, flushed to the disk and
// renamed over it, so that the file always holds either the old content or the new.
bool replaceDurably(const std::string& path, const std::string& content, std::string& error);

// The whole content of the file at `path`; false when it does not exist or cannot be read
// (`missing` tells which).
bool readWholeFile(const std::string& path, std::string& content, bool& missing);

}  // namespace gang
