// The program's access to the open COM port: line format, buffers, byte writes and timed
// single-byte reads.
#pragma once

#include <cstdint>

#include "platform/kernel32.h"

// The open port of the run this thread makes; set by whoever starts the run, used by every serial,
// loader and terminal operation. No port: INVALID_HANDLE_VALUE (on a thread that has not yet
// started a run, a null handle, which every call refuses the same way).
extern constinit thread_local k32::HANDLE portHandle;
// The port's device-control record, shared by configurePort and the fast-speed step.
extern thread_local k32::DCB deviceControl;

void presetDeviceControl();
void configurePort(std::uint32_t baud, std::uint8_t parity);
void writeBytes(const std::uint8_t* data, int count);
// The next received byte, or 0xFF when none arrived within `timeout` milliseconds.
int readByte(std::uint32_t timeout);
int modemRingIndicator();
