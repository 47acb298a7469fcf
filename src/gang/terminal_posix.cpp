#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "gang/live_view.h"
#include "gang/stop_request.h"

namespace gang {
bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool operatorWantsMore() {
    std::string line;
    for (;;) {
        // Looks at the stop request between waits: Ctrl-C ends the wait too.
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&in, 1, 100);
        if (stopRequested()) return false;
        if (ready <= 0) continue;
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0) return false;
        if (c == '\n') return line != "q" && line != "Q";
        if (line.size() < 80) line += c;
    }
}

bool terminalSize(int& rows, int& columns) {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) return false;
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}
}  // namespace gang
