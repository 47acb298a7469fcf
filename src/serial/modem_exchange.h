// Text command/reply exchange with a device such as a modem.
#pragma once

#include <cstdint>

int sendModemCommand(const char* command, std::uint32_t timeout, const char* expected);
int awaitReply(std::uint32_t timeout, const char* expected);
void dumpReply();
