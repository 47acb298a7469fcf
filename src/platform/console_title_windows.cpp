#include "platform/console_title.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace platform {
bool setConsoleTitle(const char* title) { return ::SetConsoleTitleA(title) != 0; }
}  // namespace platform
