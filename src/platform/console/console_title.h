// The console window's title, as SetConsoleTitleA sets it on each system.
#pragma once

namespace platform {
// Windows: the real SetConsoleTitleA. Linux/macOS: the xterm title sequence on standard output,
// only when standard output is a terminal, so captured output stays exactly the program's text.
bool setConsoleTitle(const char* title);
}  // namespace platform
