#include "platform/console/console_title.h"

#include "platform/windows_api.h"

namespace platform {
bool setConsoleTitle(const char* title) { return ::SetConsoleTitleA(title) != 0; }
}  // namespace platform
