// A port that another bsl430 holds: the second program says "Error opening ... port!" at once and
// ends with exit code 0, and the run that holds the port goes on undisturbed to "Test OK".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "support/paths.h"
#include "support/run_program.h"

namespace {

using hardening::readFile;

// The lock file that serial programs agree on for a port, as minicom and ser2net name it.
std::string lockFileOf(const std::string& pty) {
    std::string name = pty.substr(5);  // below /dev/
    std::replace(name.begin(), name.end(), '/', '_');
    return "/run/lock/LCK.." + name;
}

// A lock file's text: the owner's process number in ten characters, and a newline.
std::string lockText(pid_t pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

TEST(BusyPort, SecondProgramIsTurnedAwayAtOnce) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    const std::string blink = testpaths::sourceDir() + "/examples/blink.hex";

    // A slow erase keeps the first run on the port long enough for the second to try it.
    int simOut = -1;
    pid_t sim = hardening::startWithPipe(
        {testpaths::simServeExe(), std::string("erase-time=900ms,") + hardening::kPatientTarget},
        simOut);
    ASSERT_GT(sim, 0);
    std::string simText = hardening::readUntil(simOut, "\n", 10);
    const std::string pty = simText.substr(0, simText.find('\n'));
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << simText;

    int firstOut = -1;
    pid_t first =
        hardening::startWithPipe({testpaths::toolExe(), "--device", pty, blink}, firstOut);
    ASSERT_GT(first, 0);
    std::string firstText = hardening::readUntil(firstOut, "#mazani procesoru...", 20);
    ASSERT_NE(firstText.find("#mazani procesoru..."), std::string::npos) << firstText;
    EXPECT_EQ(readFile(lockFileOf(pty)), lockText(first)) << "the run's lock file";

    const auto start = hardening::SteadyClock::now();
    testsupport::ProgramRun second =
        testsupport::runProgram(testpaths::toolExe(), {"--device", pty, blink});
    const double seconds = hardening::secondsSince(start);

    firstText = hardening::readUntil(firstOut, "Test OK", 30, firstText);
    const int firstStatus = hardening::waitForChild(first, 30);
    if (firstStatus == -1) hardening::endChild(first);
    kill(sim, SIGTERM);
    if (hardening::waitForChild(sim, 10) == -1) hardening::endChild(sim);
    close(firstOut);
    close(simOut);

    const std::string expected = "Error opening " + pty + " port!\n";
    EXPECT_EQ(second.exitCode, 0);
    ASSERT_GE(second.output.size(), expected.size()) << second.output;
    EXPECT_EQ(second.output.substr(second.output.size() - expected.size()), expected)
        << second.output;
    EXPECT_EQ(second.output.find('#'), std::string::npos) << "the second program went on to a run";
    EXPECT_LT(seconds, 1.0) << "not turned away at once";
    std::printf("  the second program was turned away after %.3f s\n", seconds);

    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0);
    EXPECT_NE(firstText.find("\nTest OK\n"), std::string::npos)
        << "the run that holds the port was disturbed:\n"
        << firstText;
}

// Another program's lock file keeps the tool off the port before it opens it, and so before the
// open raises DTR and RTS on the board (root is not kept off by the exclusive use of an open port);
// a lock whose process has ended is replaced, and the tool's own is gone when its run ends.
TEST(BusyPort, LockFilesOfOtherProgramsAreHonoured) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    ASSERT_EQ(access("/run/lock", W_OK), 0) << "no lock directory to test with";
    int simOut = -1;
    const pid_t sim =
        hardening::startWithPipe({testpaths::simServeExe(), hardening::kPatientTarget}, simOut);
    ASSERT_GT(sim, 0);
    const std::string simText = hardening::readUntil(simOut, "\n", 10);
    const std::string pty = simText.substr(0, simText.find('\n'));
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << simText;
    const std::string lock = lockFileOf(pty);

    const pid_t ended = fork();  // a process number that no longer runs
    if (ended == 0) _exit(0);
    hardening::waitForChild(ended, 5);
    struct Case {
        const char* what;
        std::string lockText;  // "" for none
        bool opens;
    } const cases[] = {
        {"held by a running program", lockText(getpid()), false},
        {"left by a program that has ended", lockText(ended), true},
        {"none", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.lockText.empty()) std::ofstream(lock) << c.lockText;
        const testsupport::ProgramRun run = testsupport::runProgram(
            testpaths::toolExe(),
            {"--device", pty, testpaths::sourceDir() + "/examples/blink.hex"});
        EXPECT_EQ(run.output.find("Error opening " + pty + " port!\n") != std::string::npos,
                  !c.opens)
            << run.output;
        EXPECT_EQ(run.output.find("\nTest OK\n") != std::string::npos, c.opens) << run.output;
        EXPECT_EQ(readFile(lock), c.opens ? "" : c.lockText) << "the lock file after the run";
        unlink(lock.c_str());
    }
    kill(sim, SIGTERM);
    if (hardening::waitForChild(sim, 10) == -1) hardening::endChild(sim);
    close(simOut);
}

}  // namespace
