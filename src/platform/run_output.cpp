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

namespace platform {
namespace {
void reasonToStandardError(const char* text) {
    std::fprintf(stderr, "bsl430: %s\n", text);
    std::fflush(stderr);
}
}  // namespace

void RunOutput::reason(const std::string& text) { reasonToStandardError(text.c_str()); }

HeldRunOutput::HeldRunOutput() : previous_(setRunOutput(this)) {}

HeldRunOutput::~HeldRunOutput() {
    setRunOutput(previous_);
    if (!held_.empty()) {
        if (previous_ == nullptr)
            std::fwrite(held_.data(), 1, held_.size(), stdout);
        else
            previous_->text(held_.data(), held_.size());
    }
    if (flushed_) runFlush();
}

void HeldRunOutput::command(std::uint8_t code, std::uint16_t address, std::uint16_t length) {
    if (previous_ != nullptr) previous_->command(code, address, length);
}

void HeldRunOutput::reason(const std::string& text) {
    if (previous_ != nullptr)
        previous_->reason(text);
    else
        reasonToStandardError(text.c_str());
}

}  // namespace platform

void runReason(const char* format, ...) {
    char text[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (platform::threadOutput != nullptr) {
        platform::threadOutput->reason(text);
        return;
    }
    std::fprintf(stderr, "bsl430: %s\n", text);
    std::fflush(stderr);
}
