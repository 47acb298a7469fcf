// The POSIX serial backend on a real pseudo-terminal pair: the program's side opens the slave
// through CreateFileA, the test plays the far end on the master.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/kernel32.h"
#include "platform/open_failure.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {

class PtyPair : public testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        handle = CreateFileA(slavePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        portHandle = handle;
    }
    void TearDown() override {
        portHandle = INVALID_HANDLE_VALUE;
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (master >= 0) close(master);
    }

    // What the far end receives within `ms` (stops early once `count` bytes are in).
    std::vector<std::uint8_t> masterRead(std::size_t count, int ms = 500) {
        std::vector<std::uint8_t> bytes;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master, POLLIN, 0};
            poll(&p, 1, 10);
            std::uint8_t buffer[512];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    void masterWrite(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    bool setFormat(DWORD baud, BYTE parity) {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(handle, &dcb));
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = parity;
        dcb.fParity = parity != NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        return SetCommState(handle, &dcb) != 0;
    }
    void setTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(handle, &t));
    }
    // Both directions carry these untouched: line ends, XON/XOFF, NUL, bytes from 0x80 up.
    void expectRawBothWays() {
        const std::vector<std::uint8_t> awkward = {0x00, 0x0D, 0x0A, 0x11, 0x13, 0x03,
                                                   0x1A, 0x7F, 0x80, 0xFF, 0x0D};
        writeBytes(awkward.data(), static_cast<int>(awkward.size()));
        EXPECT_EQ(masterRead(awkward.size()), awkward);
        masterWrite(awkward);
        std::vector<std::uint8_t> got;
        for (std::size_t i = 0; i < awkward.size(); ++i)
            got.push_back(static_cast<std::uint8_t>(readByte(500)));
        EXPECT_EQ(got, awkward);
        EXPECT_TRUE(masterRead(1, 30).empty());  // nothing echoed back
    }

    int master = -1;
    std::string slavePath;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

double msSince(std::uint64_t startNs) {
    return static_cast<double>(platform::RealClock().nowNs() - startNs) / platform::kNsPerMs;
}

}  // namespace

TEST_F(PtyPair, EveryByteValuePassesUntranslatedBothWays) {
    ASSERT_TRUE(setFormat(115200, NOPARITY));
    expectRawBothWays();
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(handle, all.data(), 256, &n, nullptr));
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(masterRead(256), all);
    masterWrite(all);
    setTimeouts(50, 0, 500);
    std::vector<std::uint8_t> got(256);
    ASSERT_TRUE(ReadFile(handle, got.data(), 256, &n, nullptr));
    EXPECT_EQ(n, 256u);
    EXPECT_EQ(got, all);
}

TEST_F(PtyPair, ReadTimeoutsOnTheRealClock) {
    platform::RealClock clock;
    struct Case {
        std::uint32_t timeout;
        int sendAfterMs;  // -1: silent
        int expect;
        double minMs, maxMs;
    };
    const Case cases[] = {
        {0, -1, 0xFF, 0, 20},
        {100, -1, 0xFF, 100, 200},
        {150, 30, 0x5A, 30, 120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        std::thread far;
        if (c.sendAfterMs >= 0)
            far = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(c.sendAfterMs));
                masterWrite({0x5A});
            });
        std::uint64_t start = clock.nowNs();
        EXPECT_EQ(readByte(c.timeout), c.expect);
        double ms = msSince(start);
        if (far.joinable()) far.join();
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
    }
    // A byte that is already waiting comes back from a poll at once.
    masterWrite({0x42});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint64_t start = clock.nowNs();
    EXPECT_EQ(readByte(0), 0x42);
    EXPECT_LT(msSince(start), 20);
}

TEST_F(PtyPair, PurgeDropsPendingInput) {
    ASSERT_TRUE(setFormat(9600, NOPARITY));
    masterWrite({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    configurePort(9600, NOPARITY);  // purges both buffers
    EXPECT_EQ(readByte(0), 0xFF);
    masterWrite({4});
    EXPECT_EQ(readByte(200), 4);
}

TEST_F(PtyPair, RefusedParityLeavesRawModeAtTheRequestedSpeed) {
    // 250000 Bd has no B constant; the device may or may not take parity (a pseudo-terminal does
    // not), and SetCommState must report which.
    for (DWORD baud : {DWORD{250000}, DWORD{9600}}) {
        SCOPED_TRACE(baud);
        bool ok = setFormat(baud, EVENPARITY);
        DCB now{};
        ASSERT_TRUE(GetCommState(handle, &now));
        EXPECT_EQ(now.BaudRate, baud);
        EXPECT_EQ(now.ByteSize, 8);
        EXPECT_EQ(ok, now.Parity == EVENPARITY);
        expectRawBothWays();
        ASSERT_TRUE(setFormat(baud, NOPARITY));
        ASSERT_TRUE(GetCommState(handle, &now));
        EXPECT_EQ(now.BaudRate, baud);
        EXPECT_EQ(now.Parity, NOPARITY);
    }
}

TEST_F(PtyPair, PortIsExclusiveUntilClosed) {
    EXPECT_EQ(CreateFileA(slavePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    // The reason names the port and its holder: this process, by its lock file where one can be
    // taken, otherwise by the exclusive open.
    const std::string& reason = platform::lastOpenFailure();
    EXPECT_EQ(reason.rfind(slavePath, 0), 0u) << reason;
    EXPECT_TRUE(reason.find(" is in use by process " + std::to_string(getpid()) +
                            " (its lock file ") != std::string::npos ||
                reason.find("in use by another program") != std::string::npos)
        << reason;
    ASSERT_TRUE(CloseHandle(handle));
    handle = CreateFileA(slavePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    portHandle = handle;
    EXPECT_EQ(CreateFileA("/dev/null", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);  // not a terminal
    EXPECT_EQ(platform::lastOpenFailure(), "/dev/null is not a serial port");
}

TEST_F(PtyPair, HangUpFailsReadsInsteadOfWaiting) {
    close(master);
    master = -1;
    setTimeouts(1000, 1000, 0);
    std::uint8_t byte = 0;
    DWORD n = 5;
    std::uint64_t start = platform::RealClock().nowNs();
    EXPECT_FALSE(ReadFile(handle, &byte, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(msSince(start), 100);
}

namespace {
void ignoreAlarm(int) {}
}  // namespace

TEST(PosixClock, SleepLastsItsFullTimeThroughSignals) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignoreAlarm;  // no SA_RESTART: the sleep is interrupted
    sigaction(SIGALRM, &action, &previous);
    itimerval every5ms{{0, 5000}, {0, 5000}};
    itimerval off{};
    setitimer(ITIMER_REAL, &every5ms, nullptr);
    std::uint64_t start = platform::RealClock().nowNs();
    Sleep(40);
    double ms = msSince(start);
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(ms, 40.0);
    EXPECT_LT(ms, 300.0);
}

TEST(PosixConsoleTitle, WrittenOnlyToATerminal) {
    // Captured output is not a terminal: nothing may appear in it.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(SetConsoleTitleA("BSL for MSP-430 v0.5 @ COM1"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // On a terminal: the xterm title sequence, without control characters that could end it early.
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    SetConsoleTitleA("COM3\x07\x1b[2Jok");
    fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::string seen;
    char buffer[128];
    for (int i = 0; i < 20 && seen.find('\a') == std::string::npos; ++i) {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 10);
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
    }
    close(slave);
    close(master);
    EXPECT_EQ(seen, "\x1b]0;COM3[2Jok\a");
}
