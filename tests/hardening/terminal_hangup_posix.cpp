// The terminal goes away while terminal mode runs (the terminal window is closed, the network
// connection to it drops): the program must end within a few seconds and not keep polling a
// console that is gone while it holds the serial port. Whether the hang-up signal reaches the
// program depends on who leads the terminal's session: the program itself when it was started
// directly, a shell when a script started it (then only the shell is signalled).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "support/paths.h"

namespace {

struct HangupCase {
    const char* name;
    bool throughShell;          // a shell leads the session and starts the program
    const char* shellCommands;  // what the shell does before it starts the program
};

void PrintTo(const HangupCase& c, std::ostream* out) { *out << c.name; }

// The first child of `pid`, or 0 when it has none (yet).
pid_t firstChildOf(pid_t pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

class TerminalHangsUp : public testing::TestWithParam<HangupCase> {
protected:
    void SetUp() override { prctl(PR_SET_CHILD_SUBREAPER, 1); }
    void TearDown() override { prctl(PR_SET_CHILD_SUBREAPER, 0); }
};

TEST_P(TerminalHangsUp, ProgramEndsAndFreesThePort) {
    const HangupCase& c = GetParam();
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const std::string blink = testpaths::sourceDir() + "/examples/blink.hex";

    const std::string device = std::string("sim:") + hardening::kPatientTarget;
    std::fflush(stdout);
    const pid_t leader = fork();
    if (leader == 0) {
        // A session of its own with the pseudo-terminal as its controlling terminal. The terminal's
        // other side stays with the test alone, so that closing it there hangs the terminal up.
        close(master);
        setsid();
        const int fd = open(slave.c_str(), O_RDWR);
        if (fd < 0) _exit(126);
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (c.throughShell) {
            const std::string script =
                std::string(c.shellCommands) + "\"$0\" --device \"$1\" -t \"$2\"; echo after";
            execl("/bin/sh", "sh", "-c", script.c_str(), testpaths::toolExe().c_str(),
                  device.c_str(), blink.c_str(), static_cast<char*>(nullptr));
        } else {
            execl(testpaths::toolExe().c_str(), "bsl430", "--device", device.c_str(), "-t",
                  blink.c_str(), static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    ASSERT_GT(leader, 0);

    const std::string output =
        hardening::readUntil(master, "Terminal mode. To exit press ESC...", 30);
    const pid_t program = c.throughShell ? firstChildOf(leader) : leader;
    const bool inTerminalMode = output.find("Terminal mode.") != std::string::npos;

    close(master);  // the terminal hangs up
    const auto gone = hardening::SteadyClock::now();
    // The program is this test's child, or becomes it (the test collects orphans) once a shell
    // that started it has ended; until then it is the shell's to collect.
    int status = -1;
    bool ended = false;
    bool leaderCollected = !c.throughShell;
    while (!ended && hardening::secondsSince(gone) < 5) {
        if (!leaderCollected) leaderCollected = waitpid(leader, nullptr, WNOHANG) == leader;
        const pid_t done = program > 0 ? waitpid(program, &status, WNOHANG) : -1;
        ended = done == program || (done < 0 && errno == ESRCH) ||
                (program > 0 && kill(program, 0) != 0 && errno == ESRCH);
        if (!ended) usleep(10000);
    }
    const double seconds = hardening::secondsSince(gone);
    // Still running with nobody to type ESC: end it, and fail below.
    if (!ended) hardening::endChild(program);
    if (!leaderCollected && hardening::waitForChild(leader, 5) == -1) hardening::endChild(leader);

    ASSERT_TRUE(inTerminalMode) << output;
    ASSERT_GT(program, 0);
    EXPECT_TRUE(ended) << "still running 5 s after the terminal hung up";
    std::printf(
        "  ended %.2f s after the hang-up%s\n", seconds,
        WIFSIGNALED(status) ? (std::string(", by ") + strsignal(WTERMSIG(status))).c_str() : "");
}

INSTANTIATE_TEST_SUITE_P(Sessions, TerminalHangsUp,
                         testing::Values(HangupCase{"ProgramLeadsTheSession", false, ""},
                                         HangupCase{"ShellLeadsTheSession", true, ""},
                                         // A script that is to outlive its terminal.
                                         HangupCase{"ShellIgnoresHangUp", true, "trap '' HUP; "}),
                         [](const testing::TestParamInfo<HangupCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
