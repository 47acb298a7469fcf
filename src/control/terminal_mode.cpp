// Console and port joined into a simple terminal: typed characters go to the target, bytes from
// the target go to the console, until ESC.
#include "control/terminal_mode.h"

#include <cstdio>
#include <cstdlib>

#include "options/program_options.h"
#include "platform/kernel32.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {
constexpr CHAR kEscape = 27;
constexpr int kNoByte = 0xFF;
}  // namespace

void runTerminalMode() {
    // The purge inside configurePort drops whatever the target sent before; releasing reset
    // afterwards lets the terminal show the new firmware's output from its start.
    configurePort(static_cast<std::uint32_t>(settings.terminalBaud), NOPARITY);
    setResetLine(1);

    HANDLE console = CreateFileA("CON", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        std::printf("Error opening console!\n");
        std::fflush(stdout);
        std::exit(1);
    }
    std::printf("Terminal mode. To exit press ESC...\n");
    std::fflush(stdout);

    INPUT_RECORD record{};
    DWORD count = 0;
    HANDLE waitFor[2] = {console, portHandle};
    for (;;) {
        // Asleep until a key is queued or the target has sent a byte, whichever comes first, so
        // an idle terminal costs nothing and no byte waits. Should the wait fail, the pass goes
        // on at once and the loop polls.
        WaitForMultipleObjects(2, waitFor, FALSE, INFINITE);
        count = 0;
        PeekConsoleInputA(console, &record, 1, &count);
        if (count != 0) {
            count = 0;
            ReadConsoleInputA(console, &record, 1, &count);
            // One key-down event sends one byte, whatever its repeat count; key releases and
            // other events are dropped, and so are keys without a character.
            if (count != 0 && record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
                CHAR key = record.Event.KeyEvent.uChar.AsciiChar;
                if (key == kEscape) break;
                if (key != 0) {
                    DWORD written = 0;
                    WriteFile(portHandle, &key, 1, &written, nullptr);
                }
            }
        }
        int byte = readByte(0);
        if (byte != kNoByte) {
            std::putchar(byte);
            std::fflush(stdout);
        }
    }
    CloseHandle(console);
}
