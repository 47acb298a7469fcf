// The termios side of a POSIX serial port: raw mode, the line format a DCB asks for, and the
// speed, as a B constant where there is one and as a plain number where the system allows it.
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/kernel32.h"

namespace platform {

// Raw 8-bit mode: no translation, no echo, no signals, no flow control, receiver on, modem
// status lines ignored for carrier. Reads never block in the driver (VMIN = VTIME = 0); waiting
// is done with poll.
void makeRaw(termios& t);

// The line format the DCB asks for, on top of raw mode. False when the format is one this
// backend cannot express.
bool applyFormat(termios& t, const k32::DCB& dcb);

// The port's output speed in baud (0 when it has none the table knows).
std::uint32_t currentBaud(int fd, const termios& t);

// Sets the attributes with the rate: a B constant where there is one, else the rate as a
// number (termios2 on Linux, IOSSIOSPEED on macOS). False when the system refuses.
bool setAttributes(int fd, termios t, std::uint32_t baud);

}  // namespace platform
