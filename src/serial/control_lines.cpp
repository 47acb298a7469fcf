// DTR drives the target's RST/NMI input (set: held in reset), RTS its TEST input.
#include "serial/control_lines.h"

#include "options/program_options.h"
#include "serial/serial_port.h"

using namespace k32;

void setResetLine(int level) {
    rememberedDtrCode = level != 0 ? CLRDTR : SETDTR;
    EscapeCommFunction(portHandle, rememberedDtrCode);
}

void setTestLine(int level) {
    // Level 1 is the TEST line's resting state, 0 its pulse state; testMode swaps the RTS
    // state each of them is.
    if (settings.testMode) level = level == 0 ? 1 : 0;
    EscapeCommFunction(portHandle, level != 0 ? CLRRTS : SETRTS);
    // Every change of RTS is followed by DTR being put back to its remembered state.
    EscapeCommFunction(portHandle, rememberedDtrCode);
}

void enterBootstrapLoader() {
    configurePort(9600, EVENPARITY);
    Sleep(100);
    setTestLine(1);
    Sleep(100);
    setResetLine(0);
    Sleep(100);
    // Two pulses on TEST; the reset is released during the second.
    setTestLine(0);
    setTestLine(1);
    setTestLine(0);
    setResetLine(1);
    setTestLine(1);
    Sleep(250);
    // Whatever the target sent while it started is dropped before the first synchronisation.
    PurgeComm(portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}
