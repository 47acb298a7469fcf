// The open COM port: line format, buffers, one-byte writes and timed one-byte reads.
#include "serial/serial_port.h"

using namespace k32;

namespace {

// The flag fields and error character the program wants on the port whatever it had before:
// binary mode, no CTS/DSR/XON-XOFF flow control, DTR and RTS driven only by EscapeCommFunction,
// no error-character replacement, no null stripping, no abort on a line error.
void applyPresetFlags(DCB& dcb) {
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.ErrorChar = static_cast<char>(0xFF);
}

}  // namespace

void presetDeviceControl() { applyPresetFlags(deviceControl); }

void configurePort(std::uint32_t baud, std::uint8_t parity) {
    GetCommState(portHandle, &deviceControl);
    // The port's own flow-control and line-control modes are replaced by ours, so that no
    // handshake takes DTR or RTS away from the entry sequence and nothing holds a frame back.
    applyPresetFlags(deviceControl);
    deviceControl.BaudRate = baud;
    deviceControl.ByteSize = 8;
    deviceControl.Parity = parity;
    deviceControl.StopBits = ONESTOPBIT;
    deviceControl.fParity = parity != 0 ? 1 : 0;
    SetCommState(portHandle, &deviceControl);

    COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
    SetCommTimeouts(portHandle, &timeouts);
    PurgeComm(portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void writeBytes(const std::uint8_t* data, int count) {
    for (int i = 0; i < count; ++i) {
        DWORD written = 0;
        WriteFile(portHandle, data + i, 1, &written, nullptr);
    }
}

int readByte(std::uint32_t timeout) {
    const int byte = receiveByte(timeout);
    return byte == kNothingReceived ? 0xFF : byte;
}

int receiveByte(std::uint32_t timeout) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(portHandle, &timeouts);  // keeps the port's write settings
    const DWORD start = GetTickCount();
    timeouts.ReadTotalTimeoutConstant = 0;
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = timeout - elapsed;
        if (timeout == 0 || elapsed >= timeout) {
            // Return at once with whatever has been received.
            timeouts.ReadIntervalTimeout = MAXDWORD;
            timeouts.ReadTotalTimeoutMultiplier = 0;
        } else {
            // One byte is asked for, so the read waits at most `left` milliseconds.
            timeouts.ReadIntervalTimeout = left;
            timeouts.ReadTotalTimeoutMultiplier = left;
        }
        SetCommTimeouts(portHandle, &timeouts);
        std::uint8_t byte = 0;
        DWORD got = 0;
        if (ReadFile(portHandle, &byte, 1, &got, nullptr) && got == 1) return byte;
        if (!(GetTickCount() - start < timeout)) return kNothingReceived;
    }
}

int modemRingIndicator() {
    DWORD status = 0;
    GetCommModemStatus(portHandle, &status);
    return (status & MS_RING_ON) != 0 ? 1 : 0;
}
