// bsl430-sim as a program: it prints a terminal path, the model answers there in its loader at
// wire speed, bad settings are refused, and it ends on SIGTERM.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/paths.h"
#include "support/run_program.h"

namespace {

// Starts the server with the settings; returns its pid and the terminal path it printed.
pid_t startServer(const std::string& settings, std::string& path) {
    int out = -1;
    const pid_t pid = testsupport::startWithPipe({testpaths::simServeExe(), settings}, out);
    if (pid <= 0) return pid;
    const std::string text = testsupport::readUntil(out, "\n", 10);
    close(out);
    path = text.substr(0, text.find('\n'));
    return pid;
}

// Reads until `count` bytes have come or `ms` have passed.
std::vector<std::uint8_t> readSome(int fd, std::size_t count, int ms) {
    std::vector<std::uint8_t> got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
            std::uint8_t buffer[64];
            ssize_t n = read(fd, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) got.push_back(buffer[i]);
        }
    }
    return got;
}

}  // namespace

TEST(SimServe, ServesTheLoaderOnAPseudoTerminal) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    std::string path;
    int status = 0;
    pid_t pid = startServer("blank", path);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);

    const std::uint8_t sync = 0x80;
    ASSERT_EQ(write(fd, &sync, 1), 1);
    ASSERT_EQ(readSome(fd, 1, 200), std::vector<std::uint8_t>{0x90});
    // The ten bytes of Mass erase and the answer: eleven characters at 9600 Bd 8E1, 12.6 ms.
    const std::uint8_t erase[] = {0x80, 0x18, 0x04, 0x04, 0x00, 0xFF, 0x06, 0xA5, 0x7D, 0xB9};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(write(fd, erase, sizeof erase), static_cast<ssize_t>(sizeof erase));
    EXPECT_EQ(readSome(fd, 1, 500), std::vector<std::uint8_t>{0x90});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(12500));
    close(fd);
    kill(pid, SIGTERM);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    // A chip of the newer family: the vendor guide's unlock packet and its reply.
    path.clear();
    pid = startServer("chip=F5529", path);
    ASSERT_GT(pid, 0);
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    tcsetattr(fd, TCSANOW, &t);
    std::vector<std::uint8_t> unlock{0x80, 0x21, 0x00, 0x11};
    unlock.insert(unlock.end(), 32, 0xFF);
    unlock.insert(unlock.end(), {0x9E, 0xE6});
    ASSERT_EQ(write(fd, unlock.data(), unlock.size()), static_cast<ssize_t>(unlock.size()));
    EXPECT_EQ(readSome(fd, 8, 500),
              (std::vector<std::uint8_t>{0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}));
    close(fd);

    kill(pid, SIGTERM);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string none;
    pid = startServer("bogus", none);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_NE(WEXITSTATUS(status), 0);
}

// What the tool programs through the pseudo-terminal runs once the run is over: a terminal
// program opening it afterwards sees hello's greeting from its start, and its echo.
TEST(SimServe, FirmwareRunsOnThePseudoTerminalAfterProgramming) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    std::string path;
    int status = 0;
    pid_t pid = startServer("blank", path);
    ASSERT_GT(pid, 0);
    testsupport::ProgramRun run = testsupport::runProgram(
        testpaths::toolExe(),
        {"--device", path, testpaths::sourceDir() + "/examples/hello.hex"});
    EXPECT_NE(run.output.find("Test OK"), std::string::npos) << run.output;
    // The server hears the close when it next runs; a terminal opened before that is taken for
    // the same session (see the manual page).
    usleep(300000);

    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    const std::string greeting = "Hello from the MSP430F149. Type, and I echo.\r\n";
    std::vector<std::uint8_t> got = readSome(fd, greeting.size(), 3000);
    EXPECT_EQ(std::string(got.begin(), got.end()), greeting);
    ASSERT_EQ(write(fd, "hi", 2), 2);
    got = readSome(fd, 2, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hi");
    close(fd);

    kill(pid, SIGTERM);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
}
