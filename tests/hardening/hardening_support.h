// Helpers of the fault tests: a whole run in this process on a virtual clock against a far end
// served under a port name, HEX text, scratch files, child processes with time limits.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/main_driver.h"
#include "kit/call_log.h"
#include "kit/test_port.h"
#include "options/program_options.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/simulated/far_end.h"
#include "support/hex_text.h"
#include "support/temp_dir.h"

namespace hardening {

struct InProcessRun {
    int exitCode = -1;
    std::string output;
    std::uint64_t elapsedNs = 0;  // virtual time the run took
};

// Runs the whole program (argv[0] first) from default settings on a virtual clock, with `farEnd`
// served as `portName` and standard output captured.
inline InProcessRun runInProcess(const std::vector<std::string>& argv,
                                 std::shared_ptr<platform::FarEnd> farEnd,
                                 const std::string& portName, platform::CallLog* log = nullptr) {
    platform::VirtualClock clock;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog* previousLog = platform::setCallLog(log);
    const int opener = platform::serveTestPort(portName, std::move(farEnd));

    std::vector<std::string> words = argv;
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    resetSettings();
    InProcessRun run;
    testing::internal::CaptureStdout();
    run.exitCode = runMain(static_cast<int>(words.size()), pointers.data());
    run.output = testing::internal::GetCapturedStdout();
    run.elapsedNs = clock.nowNs();

    platform::removeDeviceOpener(opener);
    platform::setCallLog(previousLog);
    platform::setProcessClock(previousClock);
    return run;
}

// Intel HEX data records (16 bytes each at most) for the bytes from `address`, LF line ends.
using testhex::hexEnd;
using testhex::hexRecords;

// A folder for one test's files, removed with them when the object goes.
class ScratchDir {
public:
    ScratchDir() : path_(testsupport::makeTempDir("bsl430-hardening-")) {}
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream out(file(name), std::ios::binary);
        out << content;
        return file(name);
    }

private:
    std::string path_;
};

// Runs on the real clock give the simulated target this setting: it waits up to a second for the
// rest of a frame, so that a loaded machine (the sanitizer builds, tests run side by side) never
// makes it abandon a frame whose bytes come late.
constexpr const char* kPatientTarget = "frame-timeout=1s";

using SteadyClock = std::chrono::steady_clock;

inline double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Waits up to `seconds` for the child to end; its wait status, or -1 when it is still running.
inline int waitForChild(pid_t pid, double seconds, rusage* usage = nullptr) {
    const auto start = SteadyClock::now();
    for (;;) {
        int status = 0;
        rusage ignored{};
        const pid_t done = wait4(pid, &status, WNOHANG, usage != nullptr ? usage : &ignored);
        if (done == pid) return status;
        if (done < 0) return -2;
        if (secondsSince(start) > seconds) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Ends a child this test started that outlived its time, and collects it.
inline void endChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

// Reads from `fd` until `marker` shows, the other end closes or the time is up; returns `text` with
// everything read appended.
inline std::string readUntil(int fd, const std::string& marker, double seconds,
                             std::string text = {}) {
    const auto start = SteadyClock::now();
    while (text.find(marker) == std::string::npos && secondsSince(start) < seconds) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

// Starts a program (full path first) with standard input from /dev/null and standard output on a
// pipe whose read end goes to `out`; returns its pid (-1 on failure).
inline pid_t startWithPipe(const std::vector<std::string>& argv, int& out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    [[maybe_unused]] const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
#ifdef __linux__
        // A test process that is killed (ctest's time-out) takes its servers with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
#endif
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        const int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    out = fds[0];
    return pid;
}

// A child of this test with its standard output on a pipe: ended (SIGTERM, then SIGKILL) and
// collected when the object goes, whatever way the test leaves.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        stop();
        if (out_ >= 0) close(out_);
    }
    bool start(const std::vector<std::string>& argv) {
        pid_ = startWithPipe(argv, out_);
        return pid_ > 0;
    }
    // The first line the child prints (its terminal or address), "" when none comes in time.
    std::string firstLine(double seconds) {
        text_ = readUntil(out_, "\n", seconds, text_);
        const std::string::size_type end = text_.find('\n');
        return end == std::string::npos ? "" : text_.substr(0, end);
    }
    // Everything the child prints until it ends, and its exit code (-1: did not end in time).
    int finish(double seconds, std::string& output) {
        text_ = readUntil(out_, std::string(1, '\0'), seconds, text_);
        output = text_;
        const int status = waitForChild(pid_, 5);
        if (status == -1) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (waitForChild(pid_, 5) == -1) endChild(pid_);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string text_;
};

}  // namespace hardening
