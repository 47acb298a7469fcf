// One board's run on a port that is already open: the port made ready for the loader, the
// programming sequence, and the release of the board afterwards. bsl430 makes one such run; a gang
// makes one on each of its threads.
#pragma once

#include "platform/kernel32.h"

// Takes `port` as this thread's port and makes it ready for the loader: 9600 Bd, even parity,
// the board held in reset.
void takeBoardPort(k32::HANDLE port);

// Takes `port` as this thread's port, sets it up and runs the programming sequence. 0, or the
// run's error number.
int programBoardOn(k32::HANDLE port);

// Lets the board go (reset released) and closes this thread's port.
void releaseBoard();
