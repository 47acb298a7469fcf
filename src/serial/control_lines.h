// The target's RST/NMI (on DTR) and TEST (on RTS) lines, and the bootstrap-loader entry sequence.
#pragma once

#include "platform/kernel32.h"
#include "serial/run_state.h"  // rememberedDtrCode

void setResetLine(int level);
void setTestLine(int level);
void enterBootstrapLoader();
