#include <iostream>
#include <string>

#include "gang/live_view.h"
#include "gang/stop_request.h"
#include "platform/windows_api.h"

namespace gang {
bool outputIsTerminal() {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
    return ::SetConsoleMode(out, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
}

bool operatorWantsMore() {
    std::string line;
    if (!std::getline(std::cin, line) || stopRequested()) return false;
    return line != "q" && line != "Q";
}

bool terminalSize(int& rows, int& columns) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    return rows > 0;
}
}  // namespace gang
