// The port is free again once a run has closed it, for an ordinary user too. A pseudo-terminal
// outlives the close (bsl430-sim keeps its other end), as does a port another program holds open:
// an exclusive-use mark left on it would turn the next run away. Root ignores that mark, so the
// server and both runs are started as the user nobody when the tests run as root.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "support/paths.h"

namespace {

// The command line that runs `argv` as an ordinary user.
std::vector<std::string> asOrdinaryUser(std::vector<std::string> argv) {
    if (geteuid() != 0) return argv;
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return argv;
}

}  // namespace

TEST(PortReopen, OrdinaryUserRunsTwiceOnTheSamePort) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";

    // The firmware where nobody can read it.
    hardening::ScratchDir dir;
    chmod(dir.path().c_str(), 0755);
    const std::string blink = dir.file("blink.hex");
    std::filesystem::copy_file(testpaths::sourceDir() + "/examples/blink.hex", blink);
    chmod(blink.c_str(), 0644);

    int simOut = -1;
    const pid_t sim = hardening::startWithPipe(
        asOrdinaryUser({testpaths::simServeExe(), hardening::kPatientTarget}), simOut);
    ASSERT_GT(sim, 0);
    const std::string simText = hardening::readUntil(simOut, "\n", 10);
    const std::string pty = simText.substr(0, simText.find('\n'));

    std::string outputs[2];
    int statuses[2] = {-1, -1};
    if (pty.rfind("/dev/", 0) == 0) {
        for (int run = 0; run < 2; ++run) {
            int out = -1;
            const pid_t tool = hardening::startWithPipe(
                asOrdinaryUser({testpaths::toolExe(), "--device", pty, blink}), out);
            if (tool <= 0) break;
            outputs[run] = hardening::readUntil(out, "Test OK", 60);
            statuses[run] = hardening::waitForChild(tool, 10);
            if (statuses[run] == -1) hardening::endChild(tool);
            close(out);
        }
    }
    kill(sim, SIGTERM);
    if (hardening::waitForChild(sim, 10) == -1) hardening::endChild(sim);
    close(simOut);

    ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << simText;
    for (int run = 0; run < 2; ++run) {
        EXPECT_NE(outputs[run].find("\nTest OK\n"), std::string::npos) << "run " << run + 1 << ":\n"
                                                                       << outputs[run];
        EXPECT_TRUE(WIFEXITED(statuses[run]) && WEXITSTATUS(statuses[run]) == 0) << run + 1;
    }
}
