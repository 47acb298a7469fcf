// The program's entry: banner, command line, port, programming run, report, terminal, close.
#include "control/main_driver.h"

#include <cstdio>
#include <string>

#include "bsl/frame_exchange.h"
#include "control/board_run.h"
#include "control/error_messages.h"
#include "control/programming_sequence.h"
#include "control/terminal_mode.h"
#include "options/option_help.h"
#include "options/program_options.h"
#include "platform/kernel32.h"
#include "platform/open_failure.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {

// ReplyBuffer doubles as text scratch for the port name and the console title before the first
// exchange with the target. Every text written into it is cut to its size.
char* replyText() { return reinterpret_cast<char*>(ReplyBuffer); }

void usage(const char* self) {
    std::printf("Usage: %s [options] <firmware.HEX>\n", self);
    printOptionHelp(programOptions);
    std::fflush(stdout);
}

}  // namespace

int runMain(int argc, char** argv) {
    const char* self = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : "";
    programPath = self;

    std::printf("BootStrap loader for MSP430 v0.5 (%s %s)\n", __DATE__, __TIME__);
    std::fflush(stdout);

    // An empty command line goes straight to the listing; the parser is not run at all.
    if (argc <= 1 || parseOptions(argc, argv, programOptions, programOptionSeparators) != 0 ||
        settings.helpRequested) {
        usage(self);
        // The word that was not understood, on standard error: the listing stays as it is.
        const std::string complaint = commandLineComplaint();
        if (argc > 1 && !complaint.empty()) std::fprintf(stderr, "bsl430: %s\n", complaint.c_str());
        return 0;
    }
    if (settings.versionRequested) {
        std::printf("bsl430 %s\n", BSL430_VERSION);
        std::fflush(stdout);
        return 0;
    }

    // A firmware file that cannot be loaded ends the run before the port is opened: the board
    // keeps its firmware and is not even reset.
    const int fileError = checkFirmwareFile();
    if (fileError != 0) {
        printErrorBox(fileError);
        return 0;
    }

    // "COMn" is opened as "\\.\COMn", the one form Windows accepts for every port number (the
    // plain name works only up to COM9); messages and the title still say "COMn". A named device
    // is opened, and shown, as it was given.
    char comName[32];
    const char* openPath;
    const char* portName;
    if (settings.deviceName != nullptr) {
        std::snprintf(replyText(), kReplyBufferSize, "%s", settings.deviceName);
        openPath = settings.deviceName;
        portName = settings.deviceName;
    } else {
        std::snprintf(replyText(), kReplyBufferSize, "COM%i", settings.portNumber);
        std::snprintf(comName, sizeof comName, "\\\\.\\COM%i", settings.portNumber);
        openPath = comName;
        portName = replyText();
    }
    HANDLE port =
        CreateFileA(openPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("Error opening %s port!\n", portName);
        std::fflush(stdout);
        // Why, on standard error: the line above is the one scripts read.
        const std::string& reason = platform::lastOpenFailure();
        std::fprintf(stderr, "bsl430: %s\n",
                     reason.empty() ? "the port cannot be opened" : reason.c_str());
        return 0;
    }

    if (settings.deviceName != nullptr)
        std::snprintf(replyText(), kReplyBufferSize, "BSL for MSP-430 v0.5 @ %s",
                      settings.deviceName);
    else
        std::snprintf(replyText(), kReplyBufferSize, "BSL for MSP-430 v0.5 @ COM%i",
                      settings.portNumber);
    SetConsoleTitleA(replyText());

    int outcome = programBoardOn(port);

    if (outcome == 0) {
        std::printf("\nTest OK\n\n");
        std::fflush(stdout);
    } else {
        printErrorBox(outcome);
    }

    if (settings.runTerminal && outcome == 0) runTerminalMode();

    releaseBoard();
    return 0;
}
