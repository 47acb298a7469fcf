// A port that another bsl430 holds: the second program says "Error opening ... port!" at once and
// ends with exit code 0, and the run that holds the port goes on undisturbed to "Test OK".
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "hardening_support.h"
#include "support/paths.h"
#include "support/run_program.h"

namespace {

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

}  // namespace
