#include "platform/run_output.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace platform {
namespace {
thread_local RunOutput* threadOutput = nullptr;
}  // namespace

RunOutput* setRunOutput(RunOutput* output) {
    RunOutput* previous = threadOutput;
    threadOutput = output;
    return previous;
}

}  // namespace platform

int runPrintf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    platform::RunOutput* output = platform::threadOutput;
    int length;
    if (output == nullptr) {
        length = std::vprintf(format, args);
    } else {
        std::va_list again;
        va_copy(again, args);
        char small[256];
        length = std::vsnprintf(small, sizeof small, format, args);
        if (length >= 0 && static_cast<std::size_t>(length) < sizeof small) {
            output->text(small, static_cast<std::size_t>(length));
        } else if (length > 0) {
            std::vector<char> large(static_cast<std::size_t>(length) + 1);
            std::vsnprintf(large.data(), large.size(), format, again);
            output->text(large.data(), static_cast<std::size_t>(length));
        }
        va_end(again);
    }
    va_end(args);
    return length;
}

void runFlush() {
    if (platform::threadOutput == nullptr)
        std::fflush(stdout);
    else
        platform::threadOutput->flush();
}

void runNoteCommand(std::uint8_t code, std::uint16_t address, std::uint16_t length) {
    if (platform::threadOutput != nullptr) platform::threadOutput->command(code, address, length);
}
