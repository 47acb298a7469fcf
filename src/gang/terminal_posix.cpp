#include <sys/ioctl.h>
#include <unistd.h>

#include "gang/live_view.h"

namespace gang {
bool outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool terminalSize(int& rows, int& columns) {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) return false;
    rows = size.ws_row;
    columns = size.ws_col;
    return true;
}
}  // namespace gang
