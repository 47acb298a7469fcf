#include "control/board_run.h"

#include "control/programming_sequence.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

void takeBoardPort(HANDLE port) {
    portHandle = port;
    presetDeviceControl();
    configurePort(9600, EVENPARITY);
    setResetLine(0);
    setTestLine(0);
}

int programBoardOn(HANDLE port) {
    takeBoardPort(port);
    return runProgrammingSequence();
}

void releaseBoard() {
    setResetLine(1);
    CloseHandle(portHandle);
    portHandle = INVALID_HANDLE_VALUE;
}
