#include "gang/stop_request.h"

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/kernel32_calls.h"

namespace gang {
namespace {

std::atomic<bool> stopFlag{false};

struct ThreadLimit {
    bool set = false;
    std::chrono::steady_clock::time_point end;
};
thread_local ThreadLimit threadLimit;

using k32::BOOL;
using k32::DWORD;
using k32::HANDLE;

// Forwards every call; once the stop is requested (or the thread's time limit has passed), reads and writes fail at once, sleeps return at
// once and the tick count leaps ahead on every call, so that every wait a run makes is over.
class StoppableCalls final : public platform::Kernel32Calls {
public:
    explicit StoppableCalls(platform::Kernel32Calls& next) : next_(next) {}

    HANDLE CreateFileA(k32::LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override {
        return next_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                 creationDisposition, flagsAndAttributes, templateFile);
    }
    BOOL CloseHandle(HANDLE handle) override { return next_.CloseHandle(handle); }
    BOOL GetCommState(HANDLE handle, k32::DCB* dcb) override {
        return next_.GetCommState(handle, dcb);
    }
    BOOL SetCommState(HANDLE handle, k32::DCB* dcb) override {
        return next_.SetCommState(handle, dcb);
    }
    BOOL GetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        return next_.GetCommTimeouts(handle, timeouts);
    }
    BOOL SetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        return next_.SetCommTimeouts(handle, timeouts);
    }
    BOOL PurgeComm(HANDLE handle, DWORD flags) override { return next_.PurgeComm(handle, flags); }
    BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                  void* overlapped) override {
        if (runMustEnd()) {
            if (bytesRead != nullptr) *bytesRead = 0;
            return k32::FALSE;
        }
        return next_.ReadFile(handle, buffer, bytesToRead, bytesRead, overlapped);
    }
    BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* overlapped) override {
        if (runMustEnd()) {
            if (bytesWritten != nullptr) *bytesWritten = 0;
            return k32::FALSE;
        }
        return next_.WriteFile(handle, buffer, bytesToWrite, bytesWritten, overlapped);
    }
    BOOL EscapeCommFunction(HANDLE handle, DWORD function) override {
        return next_.EscapeCommFunction(handle, function);
    }
    BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus) override {
        return next_.GetCommModemStatus(handle, modemStatus);
    }
    BOOL SetConsoleTitleA(k32::LPCSTR title) override { return next_.SetConsoleTitleA(title); }
    BOOL PeekConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return next_.PeekConsoleInputA(handle, buffer, length, eventsRead);
    }
    BOOL ReadConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return next_.ReadConsoleInputA(handle, buffer, length, eventsRead);
    }
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                 DWORD milliseconds) override {
        if (stopRequested()) return k32::WAIT_FAILED;
        return next_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
    }
    DWORD GetTickCount() override {
        thread_local DWORD leap = 0;
        if (runMustEnd()) leap += kLeapMs;
        return next_.GetTickCount() + leap;
    }
    void Sleep(DWORD milliseconds) override {
        if (!runMustEnd()) next_.Sleep(milliseconds);
    }

private:
    // Longer than any wait of a run, short of half the counter's range.
    static constexpr DWORD kLeapMs = 0x10000000;
    platform::Kernel32Calls& next_;
};

}  // namespace

void installStoppableCalls() {
    static std::once_flag once;
    std::call_once(once, [] {
        static StoppableCalls calls(platform::kernel32Calls());
        platform::setKernel32Calls(&calls);
    });
}

void requestStop() { stopFlag.store(true); }

bool stopRequested() { return stopFlag.load(std::memory_order_relaxed); }

void setThreadTimeLimit(double seconds) {
    threadLimit.set = seconds > 0;
    if (threadLimit.set)
        threadLimit.end = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
}

bool threadTimeLimitPassed() {
    return threadLimit.set && std::chrono::steady_clock::now() >= threadLimit.end;
}

bool runMustEnd() { return stopRequested() || threadTimeLimitPassed(); }

}  // namespace gang
