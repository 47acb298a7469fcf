// Console and port joined into a simple terminal until ESC.
#pragma once

void runTerminalMode();
