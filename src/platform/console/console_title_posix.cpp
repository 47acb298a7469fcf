#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/console/console_title.h"

namespace platform {

bool setConsoleTitle(const char* title) {
    if (!isatty(STDOUT_FILENO)) return true;  // no window to name; output stays untouched
    // Control characters would end the sequence early or start another one: leave them out.
    std::string text;
    for (const char* p = title; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c != 0x7F) text += static_cast<char>(c);
    }
    std::fputs("\x1b]0;", stdout);
    std::fputs(text.c_str(), stdout);
    std::fputc('\a', stdout);
    std::fflush(stdout);
    return true;
}

}  // namespace platform
