// Where a run's text goes. The run's procedures print through runPrintf and runFlush; on a thread
// without an output of its own (the program's one run at its console) that is standard output,
// byte for byte and flush for flush as printf and fflush would do it. A program that makes several
// runs at once gives each run's thread an output that keeps its text apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class RunOutput {
public:
    virtual ~RunOutput() = default;
    // Text the run printed, as printf would have written it.
    virtual void text(const char* bytes, std::size_t length) = 0;
    // The run has finished a message and wants it seen.
    virtual void flush() {}
    // A loader command is about to go out: lets an output follow the steps and the progress of the
    // run without reading its text.
    virtual void command(std::uint8_t /*code*/, std::uint16_t /*address*/,
                         std::uint16_t /*length*/) {}
    // Why a step failed, in words, for standard error (beside the run's own lines).
    virtual void reason(const std::string& text);
};

// Holds back what the run prints while it lives (commands and reasons still pass on at once),
// and passes the text on when it ends, unless told to drop it.
class HeldRunOutput : public RunOutput {
public:
    HeldRunOutput();
    ~HeldRunOutput() override;
    HeldRunOutput(const HeldRunOutput&) = delete;
    HeldRunOutput& operator=(const HeldRunOutput&) = delete;

    void text(const char* bytes, std::size_t length) override { held_.append(bytes, length); }
    void flush() override { flushed_ = true; }
    void command(std::uint8_t code, std::uint16_t address, std::uint16_t length) override;
    void reason(const std::string& text) override;
    // Forgets what was held.
    void drop() { held_.clear(); }

private:
    RunOutput* previous_;
    std::string held_;
    bool flushed_ = false;
};

// Sets this thread's output (nullptr: standard output) and returns the one it replaces.
RunOutput* setRunOutput(RunOutput* output);

}  // namespace platform

#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 1, 2)))
#endif
int runPrintf(const char* format, ...);
void runFlush();
void runNoteCommand(std::uint8_t code, std::uint16_t address, std::uint16_t length);
// Why a step failed, on standard error ("bsl430: ..." on a thread without an output of its own).
#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 1, 2)))
#endif
void runReason(const char* format, ...);
