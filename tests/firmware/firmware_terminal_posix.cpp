// The virtual-board demo as a user runs it: bsl430 programs hello into the simulated chip and opens
// its terminal (in a tmux pane, a real terminal); the firmware's greeting shows, and the keys typed
// come back from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "support/paths.h"

namespace {

std::string shell(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

class Pane {
public:
    Pane() : tmux_("tmux -L bsl430-firmware-" + std::to_string(getpid()) + " ") {}
    ~Pane() { shell(tmux_ + "kill-server 2>/dev/null"); }
    void start(const std::string& command) {
        shell(tmux_ + "new-session -d -s board -x 120 -y 40 \"" + command + "; sleep 60\"");
    }
    std::string screen() { return shell(tmux_ + "capture-pane -p -t board 2>/dev/null"); }
    void keys(const std::string& keys) { shell(tmux_ + "send-keys -t board " + keys); }
    // Waits up to `seconds` for the text to show.
    bool shows(const std::string& text, double seconds) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (screen().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

private:
    std::string tmux_;
};

TEST(FirmwareDemo, TerminalShowsGreetingAndEcho) {
    if (shell("tmux -V 2>/dev/null").empty()) GTEST_SKIP() << "tmux is not installed";
    Pane pane;
    pane.start("'" + testpaths::toolExe() + "' --device sim -v on '" + testpaths::sourceDir() +
               "/examples/hello.hex' -t -tb 9600; echo exit=$?");
    ASSERT_TRUE(pane.shows("Test OK", 60)) << pane.screen();
    ASSERT_TRUE(pane.shows("Terminal mode. To exit press ESC...", 5)) << pane.screen();
    ASSERT_TRUE(pane.shows("Hello from the MSP430F149. Type, and I echo.", 5)) << pane.screen();
    pane.keys("-l 'virtual board'");
    EXPECT_TRUE(pane.shows("Type, and I echo.\nvirtual board", 5)) << pane.screen();
    pane.keys("Escape");
    EXPECT_TRUE(pane.shows("exit=0", 10)) << pane.screen();
}

}  // namespace
