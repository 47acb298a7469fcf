// An idle terminal costs next to nothing: the built program runs in terminal mode on a
// pseudo-terminal of the test's own (its controlling terminal, so its console), against hello on
// each kind of port, and while the board sleeps between hello's timer wake-ups its processor time
// over a few seconds stays under 2 % of one core. Typed keys still come back as hello's echo.
//
// The window is 2 s; BSL430_IDLE_SECONDS sets another (10 for the figure in the issue).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hardening/hardening_support.h"
#include "support/paths.h"

namespace {

using hardening::Child;

constexpr const char* kGreeting = "Hello from the MSP430F149. Type, and I echo.";

double idleSeconds() {
    const char* text = std::getenv("BSL430_IDLE_SECONDS");
    const double seconds = text ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 2.0;
}

// Processor time (user and system) the process has used so far, in seconds; -1 when unknown.
double processorSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return -1;
    const std::string::size_type end = line.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(line.substr(end + 2));
    std::string field;
    // After the name: state, then fields 4 to 13, then utime and stime.
    for (int i = 3; i <= 13; ++i) fields >> field;
    long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The program on a pseudo-terminal that is its controlling terminal; the test holds the master.
class ProgramOnTerminal {
public:
    ~ProgramOnTerminal() {
        if (pid_ > 0) hardening::endChild(pid_);
        if (master_ >= 0) close(master_);
    }
    bool start(const std::vector<std::string>& argv) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
        const std::string slave = ptsname(master_);
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            const int fd = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
            if (fd < 0) _exit(127);
            dup2(fd, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        return pid_ > 0;
    }
    std::string readUntil(const std::string& marker, double seconds) {
        screen_ = hardening::readUntil(master_, marker, seconds, screen_);
        return screen_;
    }
    void type(const std::string& keys) {
        for (char c : keys) {
            (void)!write(master_, &c, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    }
    int finish(double seconds) {
        const int status = hardening::waitForChild(pid_, seconds);
        if (status >= 0) pid_ = -1;
        return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid() const { return pid_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string screen_;
};

struct Carrier {
    const char* name;
    bool served;                       // by bsl430-sim, else the program's own "sim"
    std::vector<std::string> options;  // bsl430-sim's
};

class TerminalIdle : public testing::TestWithParam<Carrier> {};

TEST_P(TerminalIdle, SleepsWhileTheBoardSleeps) {
    if (access("/proc/self/stat", R_OK) != 0) GTEST_SKIP() << "no /proc here to read CPU time";
    std::string device = "sim";
    Child server;
    if (GetParam().served) {
        if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
        std::vector<std::string> argv{testpaths::simServeExe()};
        argv.insert(argv.end(), GetParam().options.begin(), GetParam().options.end());
        ASSERT_TRUE(server.start(argv));
        device = server.firstLine(10);
        ASSERT_FALSE(device.empty());
    }
    ProgramOnTerminal program;
    ASSERT_TRUE(program.start({testpaths::toolExe(), "--device", device, "-t", "-tb", "9600",
                               testpaths::sourceDir() + "/examples/hello.hex"}));
    std::string screen = program.readUntil(kGreeting, 60);
    ASSERT_NE(screen.find(kGreeting), std::string::npos) << screen;

    const double window = idleSeconds();
    const double before = processorSeconds(program.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    const double used = processorSeconds(program.pid()) - before;
    ASSERT_GE(before, 0);
    std::printf("%s: %.3f s of processor time in %.1f s idle (%.2f %%)\n", GetParam().name, used,
                window, 100 * used / window);
    EXPECT_LE(used, 0.02 * window);

    // Still awake to keys and bytes: each typed key comes back as hello's echo.
    program.type("ok");
    screen = program.readUntil(std::string(kGreeting) + "\r\r\nok", 10);
    EXPECT_NE(screen.find(std::string(kGreeting) + "\r\r\nok"), std::string::npos) << screen;
    program.type("\x1b");
    EXPECT_EQ(program.finish(10), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Carriers, TerminalIdle,
    testing::Values(Carrier{"sim", false, {}}, Carrier{"pty", true, {}},
                    Carrier{"rfc2217", true, {"--rfc2217", "0"}}),
    [](const testing::TestParamInfo<Carrier>& info) { return std::string(info.param.name); });

}  // namespace
