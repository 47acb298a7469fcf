// The target's RST/NMI (on DTR) and TEST (on RTS) lines, and the bootstrap-loader entry sequence.
#pragma once

#include "platform/kernel32.h"

// The DTR code setResetLine sent last; setTestLine sends it again after every RTS change.
extern thread_local k32::DWORD rememberedDtrCode;

void setResetLine(int level);
void setTestLine(int level);
void enterBootstrapLoader();
