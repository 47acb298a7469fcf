#include <string>

#include "gang/durable_file.h"
#include "platform/windows_api.h"

namespace gang {
namespace {

std::string reason(const std::string& what, const std::string& path) {
    return what + " " + path + " (Windows error " + std::to_string(::GetLastError()) + ")";
}

bool writeAll(HANDLE file, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!::WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                         nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}

bool lockWhole(HANDLE file) {
    OVERLAPPED at{};
    return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

HANDLE openShared(const std::string& path, DWORD access, DWORD disposition) {
    return ::CreateFileA(path.c_str(), access,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool appendLocked(const std::string& path, const std::string& header, const std::string& text,
                  std::string& error) {
    HANDLE file = openShared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error = reason("cannot open", path);
        return false;
    }
    bool ok = lockWhole(file);
    LARGE_INTEGER size{};
    if (ok) ok = ::GetFileSizeEx(file, &size) != 0;
    LARGE_INTEGER end{};
    if (ok) ok = ::SetFilePointerEx(file, end, nullptr, FILE_END) != 0;
    const bool atEnd = ok;
    if (ok && size.QuadPart == 0 && !header.empty()) ok = writeAll(file, header);
    if (ok) ok = writeAll(file, text) && ::FlushFileBuffers(file) != 0;
    if (!ok) {
        error = reason("cannot write", path);
        // What went in of a record that did not all go in is taken out again: the file never
        // ends in half a line that the next record would be glued to.
        if (atEnd && ::SetFilePointerEx(file, size, nullptr, FILE_BEGIN) != 0 &&
            ::SetEndOfFile(file) != 0)
            ::FlushFileBuffers(file);
    }
    OVERLAPPED at{};
    ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at);
    ::CloseHandle(file);
    return ok;
}

FileLock::FileLock(const std::string& path) {
    HANDLE file = openShared(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = reason("cannot open", path);
        return;
    }
    handle_ = reinterpret_cast<std::intptr_t>(file);
    if (!lockWhole(file)) {
        error_ = reason("cannot lock", path);
        return;
    }
    held_ = true;
}

FileLock::~FileLock() {
    if (handle_ == -1) return;
    HANDLE file = reinterpret_cast<HANDLE>(handle_);
    if (held_) {
        OVERLAPPED at{};
        ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at);
    }
    ::CloseHandle(file);
}

bool replaceDurably(const std::string& path, const std::string& content, std::string& error) {
    const std::string temporary = path + ".tmp";
    HANDLE file = openShared(temporary, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE) {
        error = reason("cannot write", temporary);
        return false;
    }
    const bool written = writeAll(file, content) && ::FlushFileBuffers(file) != 0;
    ::CloseHandle(file);
    if (!written || !::MoveFileExA(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = reason("cannot replace", path);
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

bool readWholeFile(const std::string& path, std::string& content, bool& missing) {
    content.clear();
    missing = false;
    HANDLE file = openShared(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        return false;
    }
    char buffer[4096];
    DWORD got = 0;
    bool ok = true;
    while (content.size() <= 4096) {
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        content.append(buffer, got);
    }
    ::CloseHandle(file);
    return ok;
}

}  // namespace gang
