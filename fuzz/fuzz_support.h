// Pieces shared by the fuzz targets: standard output kept away from the fuzzer's log (or captured
// to look at), input split into words, a scratch directory, HEX records, and a check that stops
// the fuzzer with a message when a property of the tool does not hold.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzzsupport {

// Stops the run as a finding: libFuzzer saves the input that led here.
[[noreturn]] inline void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "\n*** property violated: %s %s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(condition, detail)                                \
    do {                                                             \
        if (!(condition)) ::fuzzsupport::fail(#condition, (detail)); \
    } while (0)

// Standard output goes into a memory file for the life of the process; capture() hands back what
// was written since the last clear().
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        fd_ = memfd_create("stdout", 0);
        if (fd_ < 0 || dup2(fd_, STDOUT_FILENO) < 0) fail("stdout capture", "cannot redirect");
    }
    void clear() {
        std::fflush(stdout);
        if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
            fail("stdout capture", "cannot reset");
    }
    std::string capture() {
        std::fflush(stdout);
        std::string text;
        char buffer[4096];
        off_t at = 0;
        for (;;) {
            ssize_t got = pread(fd_, buffer, sizeof buffer, at);
            if (got <= 0) break;
            text.append(buffer, static_cast<std::size_t>(got));
            at += got;
        }
        return text;
    }

private:
    int fd_ = -1;
};

// Standard output discarded: capture without ever looking, emptied now and then.
inline void discardStdout() {
    static StdoutCapture* sink = new StdoutCapture;
    sink->clear();
}

// The bytes split at every `separator`; empty pieces are kept (an argument may be empty).
inline std::vector<std::string> splitAt(const std::uint8_t* data, std::size_t size,
                                        char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (static_cast<char>(data[i]) == separator)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    return pieces;
}

// A private scratch directory, made once and removed with everything in it when the process exits.
inline const std::string& scratchDirectory() {
    // Never destroyed, so the exit handler still finds it.
    static const std::string* path = [] {
        char pattern[] = "/tmp/bsl430-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) fail("scratch directory", pattern);
        auto* kept = new std::string(made);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchDirectory(), ignored);
        });
        return kept;
    }();
    return *path;
}

// The scratch directory as the working directory for one input, so that the input can name files
// by short relative names; the fuzzer's own working directory (where it keeps its corpus and
// findings) is back in place afterwards.
class InScratchDirectory {
public:
    InScratchDirectory() {
        if (getcwd(previous_, sizeof previous_) == nullptr ||
            chdir(scratchDirectory().c_str()) != 0)
            fail("scratch directory", "cannot enter");
    }
    ~InScratchDirectory() {
        if (chdir(previous_) != 0) fail("scratch directory", "cannot leave");
    }
    InScratchDirectory(const InScratchDirectory&) = delete;
    InScratchDirectory& operator=(const InScratchDirectory&) = delete;

private:
    char previous_[4096];
};

inline void writeFile(const std::string& path, const void* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write", path);
    if (size != 0 && std::fwrite(data, 1, size, file) != size) fail("cannot write", path);
    std::fclose(file);
}

// One Intel HEX data record (type 00) with its checksum, ending in CR LF.
inline std::string hexRecord(unsigned address, const std::vector<std::uint8_t>& bytes,
                             unsigned type = 0) {
    char text[16];
    unsigned sum = static_cast<unsigned>(bytes.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(bytes.size()),
                  address & 0xFFFF, type);
    std::string record = text;
    for (std::uint8_t b : bytes) {
        std::snprintf(text, sizeof text, "%02X", b);
        record += text;
        sum += b;
    }
    std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return record + text;
}

}  // namespace fuzzsupport
