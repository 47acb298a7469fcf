// Terminal mode through a real terminal: the built program runs in a tmux pane against the
// simulated target; keys typed into the pane reach the target, the target's output shows in the
// pane, and every way out leaves the terminal's settings as they were.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/paths.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

int shell(const std::string& command, std::string* output = nullptr) {
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    std::size_t got;
    std::string text;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
    if (output != nullptr) *output = text;
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool waitFor(const std::function<bool()>& condition, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// A tmux server of our own running one pane with the program in it.
class TerminalSession {
public:
    explicit TerminalSession(const std::string& dir)
        : dir_(dir), socket_("bsl430-terminal-" + std::to_string(getpid())) {}
    ~TerminalSession() { shell(tmux("kill-server") + " 2>/dev/null"); }

    // Writes the pane's script and starts it: terminal settings before, the program (its process
    // id first), its exit status, the settings after.
    bool start(const std::string& programArguments) {
        std::string script = dir_ + "/pane.sh";
        std::ofstream out(script);
        out << "trap : INT\n"
            << "stty -g > '" << dir_ << "/before'\n"
            << "sh -c 'echo PID=$$ > \"" << dir_ << "/pid\"; exec \"$0\" \"$@\"' '"
            << testpaths::toolExe() << "' " << programArguments << "\n"
            << "echo $? > '" << dir_ << "/exit'\n"
            << "stty -g > '" << dir_ << "/after.tmp'\n"
            << "mv '" << dir_ << "/after.tmp' '" << dir_ << "/after'\n";
        out.close();
        return shell(tmux("new-session -d -s bsl -x 120 -y 40") + " 'sh " + script + "'") == 0;
    }

    std::string screen() {
        std::string text;
        shell(tmux("capture-pane -p -t bsl") + " 2>/dev/null", &text);
        return text;
    }
    bool keys(const std::string& keys) { return shell(tmux("send-keys -t bsl") + " " + keys) == 0; }
    bool screenShows(const std::string& text, double seconds = 10) {
        return waitFor([&] { return screen().find(text) != std::string::npos; }, seconds);
    }
    pid_t programPid() {
        std::string text = readFile(dir_ + "/pid");
        return text.rfind("PID=", 0) == 0 ? static_cast<pid_t>(std::atoi(text.c_str() + 4)) : 0;
    }
    // The program's exit status as the shell saw it, once it has ended.
    std::string exitStatus(double seconds = 10) {
        if (!waitFor([&] { return fileExists(dir_ + "/after"); }, seconds))
            return "<still running>";
        std::string text = readFile(dir_ + "/exit");
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }
    bool settingsRestored() {
        std::string before = readFile(dir_ + "/before");
        return !before.empty() && before == readFile(dir_ + "/after");
    }

private:
    std::string tmux(const std::string& command) const {
        return "tmux -L " + socket_ + " " + command;
    }

    std::string dir_;
    std::string socket_;
};

// The bytes the host sent after its last change of line format (the terminal's), from the
// simulated target's trace.
std::vector<std::string> bytesSentInTerminal(const std::string& trace) {
    std::vector<std::string> bytes;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("host    format") != std::string::npos) bytes.clear();
        std::string::size_type at = line.find("host >  ");
        if (at != std::string::npos) bytes.push_back(line.substr(at + 8, 2));
    }
    return bytes;
}

struct Ending;
void PrintTo(const Ending& ending, std::ostream* os);

struct Ending {
    const char* name;
    std::function<void(TerminalSession&)> end;
    const char* exitStatus;  // as the shell reports it: 128 + the signal for a signal
};

void PrintTo(const Ending& ending, std::ostream* os) { *os << ending.name; }

class TerminalMode : public testing::TestWithParam<Ending> {
protected:
    void SetUp() override {
        if (shell("tmux -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
        std::string pattern = testing::TempDir() + "bsl430-terminal-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(mkdtemp(buffer.data()), nullptr);
        dir = buffer.data();
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    std::string dir;
};

TEST_P(TerminalMode, KeysReachTargetAndTerminalIsRestored) {
    TerminalSession session(dir);
    std::string firmware = testpaths::sourceDir() + "/examples/hello.hex";
    ASSERT_TRUE(
        session.start("--device 'sim:trace=" + dir + "/trace' -t -tb 9600 '" + firmware + "'"));

    ASSERT_TRUE(session.screenShows("Terminal mode. To exit press ESC...\n")) << session.screen();
    // The simulated firmware greets once it is out of reset, and echoes what it receives; keys
    // typed during the greeting would come back after it, but the screen is read whole here.
    ASSERT_TRUE(session.screenShows("Hello from the MSP430F149. Type, and I echo.\n"))
        << session.screen();
    ASSERT_TRUE(session.keys("-l abc"));
    ASSERT_TRUE(session.screenShows("echo.\nabc")) << session.screen();
    // An arrow key sends nothing and does not end terminal mode.
    ASSERT_TRUE(session.keys("Up"));
    ASSERT_TRUE(session.keys("-l x"));
    ASSERT_TRUE(session.screenShows("echo.\nabcx")) << session.screen();

    GetParam().end(session);
    EXPECT_EQ(session.exitStatus(), GetParam().exitStatus);
    EXPECT_TRUE(session.settingsRestored());
    EXPECT_EQ(bytesSentInTerminal(readFile(dir + "/trace")),
              (std::vector<std::string>{"61", "62", "63", "78"}));
}

void sendSignal(TerminalSession& session, int signalNumber) {
    pid_t pid = session.programPid();
    ASSERT_GT(pid, 0);
    kill(pid, signalNumber);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, TerminalMode,
    testing::Values(Ending{"Escape", [](TerminalSession& s) { s.keys("Escape"); }, "0"},
                    Ending{"CtrlC", [](TerminalSession& s) { s.keys("C-c"); }, "130"},
                    Ending{"Terminate", [](TerminalSession& s) { sendSignal(s, SIGTERM); }, "143"},
                    Ending{"HangUp", [](TerminalSession& s) { sendSignal(s, SIGHUP); }, "129"}),
    [](const testing::TestParamInfo<Ending>& info) { return std::string(info.param.name); });

}  // namespace
