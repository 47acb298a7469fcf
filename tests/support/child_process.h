// Programs the tests and the benchmark start as child processes (the built tools, bsl430-sim,
// ser2net, objcopy): started with their output on a pipe or in a file, waited for with time
// limits, and ended and collected whatever way the caller leaves. Header only, POSIX only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using SteadyClock = std::chrono::steady_clock;

inline double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The words of a command line as execv wants them.
inline std::vector<char*> argvOf(const std::vector<std::string>& words) {
    std::vector<char*> args;
    for (const std::string& w : words) args.push_back(const_cast<char*>(w.c_str()));
    args.push_back(nullptr);
    return args;
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

// Ends a child that outlived its time, and collects it.
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
// pipe whose read end goes to `out`; returns its pid (-1 on failure). `quiet`: its standard output
// and error go to /dev/null instead, and `out` is -1 (a server whose words nobody reads).
inline pid_t startWithPipe(const std::vector<std::string>& argv, int& out, bool quiet = false) {
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
        const int devnull = open("/dev/null", O_RDWR);
        dup2(quiet ? devnull : fds[1], STDOUT_FILENO);
        if (quiet) dup2(devnull, STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        std::vector<char*> args = argvOf(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (quiet || pid < 0) {
        close(fds[0]);
        out = -1;
    } else {
        out = fds[0];
    }
    return pid;
}

// A child with its standard output on a pipe: ended (SIGTERM, then SIGKILL) and collected when the
// object goes, whatever way the caller leaves.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        stop();
        if (out_ >= 0) close(out_);
    }
    bool start(const std::vector<std::string>& argv, bool quiet = false) {
        pid_ = startWithPipe(argv, out_, quiet);
        return pid_ > 0;
    }
    // The first line the child prints (its terminal or address), "" when none comes in time.
    std::string firstLine(double seconds) {
        if (out_ < 0) return "";
        text_ = readUntil(out_, "\n", seconds, text_);
        const std::string::size_type end = text_.find('\n');
        return end == std::string::npos ? "" : text_.substr(0, end);
    }
    // Everything the child prints until it ends, and its exit code (-1: did not end in time).
    int finish(double seconds, std::string& output) {
        if (out_ >= 0) text_ = readUntil(out_, std::string(1, '\0'), seconds, text_);
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

// How a child that ran to its end went.
struct ChildResult {
    bool started = false;
    int status = 0;
    double ns = 0;       // from fork to reaping
    long maxRssKiB = 0;  // the child's peak resident set
};

// Runs `argv` (looked up on PATH when `search`) to its end with standard output and error to
// `outputPath`.
inline ChildResult runChild(const std::vector<std::string>& argv, const std::string& outputPath,
                            bool search = false) {
    ChildResult result;
    std::vector<char*> words = argvOf(argv);
    std::fflush(stdout);
    const SteadyClock::time_point begin = SteadyClock::now();
    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        if (search)
            execvp(words[0], words.data());
        else
            execv(words[0], words.data());
        _exit(127);
    }
    rusage usage{};
    pid_t done;
    do {
        done = wait4(pid, &result.status, 0, &usage);
    } while (done < 0 && errno == EINTR);
    result.ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - begin).count());
    result.started =
        done == pid && !(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 127);
    result.maxRssKiB = usage.ru_maxrss;  // kilobytes on Linux
    return result;
}

}  // namespace testsupport
