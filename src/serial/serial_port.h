// The program's access to the open COM port: line format, buffers, byte writes and timed
// single-byte reads.
#pragma once

#include <cstdint>

#include "platform/kernel32.h"
#include "serial/run_state.h"  // portHandle, deviceControl

void presetDeviceControl();
void configurePort(std::uint32_t baud, std::uint8_t parity);
void writeBytes(const std::uint8_t* data, int count);
// The next received byte, or 0xFF when none arrived within `timeout` milliseconds.
int readByte(std::uint32_t timeout);
// The next received byte, or kNothingReceived when none arrived within `timeout` milliseconds.
constexpr int kNothingReceived = -1;
int receiveByte(std::uint32_t timeout);
int modemRingIndicator();
