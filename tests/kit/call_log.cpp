#include "kit/call_log.h"

#include <cstdio>
#include <utility>

#include "platform/clock.h"
#include "platform/kernel32_calls.h"

namespace platform {
namespace {

using k32::BOOL;
using k32::DWORD;
using k32::HANDLE;

std::string hexText(const void* data, DWORD count) {
    std::string text;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    char digits[4];
    for (DWORD i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

std::vector<std::uint64_t> dcbArgs(const k32::DCB* dcb) {
    if (!dcb) return {};
    return {dcb->BaudRate, dcb->ByteSize,    dcb->Parity,     dcb->StopBits,
            dcb->fParity,  dcb->fDtrControl, dcb->fRtsControl};
}

std::vector<std::uint64_t> timeoutArgs(const k32::COMMTIMEOUTS* t) {
    if (!t) return {};
    return {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
            t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant};
}

// Hands every call to the set it wraps and writes it to the log once it has returned.
class RecordingCalls final : public Kernel32Calls {
public:
    Kernel32Calls* inner = nullptr;
    CallLog* log = nullptr;

    HANDLE CreateFileA(k32::LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override {
        HANDLE handle = inner->CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                           creationDisposition, flagsAndAttributes, templateFile);
        record("CreateFileA", {desiredAccess, shareMode, creationDisposition, flagsAndAttributes},
               fileName ? fileName : "", handle != k32::INVALID_HANDLE_VALUE ? 1 : 0);
        return handle;
    }

    BOOL CloseHandle(HANDLE handle) override {
        BOOL ok = inner->CloseHandle(handle);
        record("CloseHandle", {}, "", ok);
        return ok;
    }

    BOOL GetCommState(HANDLE handle, k32::DCB* dcb) override {
        BOOL ok = inner->GetCommState(handle, dcb);
        record("GetCommState", ok ? dcbArgs(dcb) : std::vector<std::uint64_t>{}, "", ok);
        return ok;
    }

    BOOL SetCommState(HANDLE handle, k32::DCB* dcb) override {
        BOOL ok = inner->SetCommState(handle, dcb);
        record("SetCommState", dcbArgs(dcb), "", ok);
        return ok;
    }

    BOOL GetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        BOOL ok = inner->GetCommTimeouts(handle, timeouts);
        record("GetCommTimeouts", ok ? timeoutArgs(timeouts) : std::vector<std::uint64_t>{}, "",
               ok);
        return ok;
    }

    BOOL SetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        BOOL ok = inner->SetCommTimeouts(handle, timeouts);
        record("SetCommTimeouts", timeoutArgs(timeouts), "", ok);
        return ok;
    }

    BOOL PurgeComm(HANDLE handle, DWORD flags) override {
        BOOL ok = inner->PurgeComm(handle, flags);
        record("PurgeComm", {flags}, "", ok);
        return ok;
    }

    BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                  void* overlapped) override {
        DWORD got = 0;
        BOOL ok = inner->ReadFile(handle, buffer, bytesToRead, &got, overlapped);
        if (bytesRead) *bytesRead = got;
        std::uint64_t first = got > 0 ? static_cast<const k32::BYTE*>(buffer)[0] : kNoByte;
        record("ReadFile", {bytesToRead, got, first}, hexText(buffer, got), ok);
        return ok;
    }

    BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* overlapped) override {
        DWORD written = 0;
        BOOL ok = inner->WriteFile(handle, buffer, bytesToWrite, &written, overlapped);
        if (bytesWritten) *bytesWritten = written;
        record("WriteFile", {bytesToWrite, written},
               buffer ? hexText(buffer, bytesToWrite) : std::string(), ok);
        return ok;
    }

    BOOL EscapeCommFunction(HANDLE handle, DWORD function) override {
        BOOL ok = inner->EscapeCommFunction(handle, function);
        record("EscapeCommFunction", {function}, "", ok);
        return ok;
    }

    BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus) override {
        DWORD status = 0;
        BOOL ok = inner->GetCommModemStatus(handle, &status);
        if (modemStatus) *modemStatus = status;
        record("GetCommModemStatus", {ok ? status : 0u}, "", ok);
        return ok;
    }

    BOOL SetConsoleTitleA(k32::LPCSTR title) override {
        BOOL ok = inner->SetConsoleTitleA(title);
        record("SetConsoleTitleA", {}, title ? title : "", ok);
        return ok;
    }

    BOOL PeekConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return consoleInput("PeekConsoleInputA", &Kernel32Calls::PeekConsoleInputA, handle, buffer,
                            length, eventsRead);
    }

    BOOL ReadConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return consoleInput("ReadConsoleInputA", &Kernel32Calls::ReadConsoleInputA, handle, buffer,
                            length, eventsRead);
    }

    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, k32::BOOL waitAll,
                                 DWORD milliseconds) override {
        DWORD result = inner->WaitForMultipleObjects(count, handles, waitAll, milliseconds);
        record("WaitForMultipleObjects", {count, std::uint64_t(waitAll), milliseconds}, "", result);
        return result;
    }

    DWORD GetTickCount() override {
        DWORD tick = inner->GetTickCount();
        record("GetTickCount", {}, "", tick);
        return tick;
    }

    void Sleep(DWORD milliseconds) override {
        inner->Sleep(milliseconds);
        record("Sleep", {milliseconds}, "", 0);
    }

private:
    // Peeking and reading console input are recorded alike.
    using ConsoleInputCall = BOOL (Kernel32Calls::*)(HANDLE, k32::INPUT_RECORD*, DWORD, DWORD*);

    BOOL consoleInput(const char* name, ConsoleInputCall call, HANDLE handle,
                      k32::INPUT_RECORD* buffer, DWORD length, DWORD* eventsRead) {
        DWORD events = 0;
        BOOL ok = (inner->*call)(handle, buffer, length, &events);
        if (eventsRead) *eventsRead = events;
        record(name, {length, events}, "", ok);
        return ok;
    }

    void record(const char* name, std::vector<std::uint64_t> args, std::string text,
                std::uint64_t result) {
        RecordedCall call;
        call.timeNs = processClock().nowNs();
        call.name = name;
        call.args = std::move(args);
        call.text = std::move(text);
        call.result = result;
        log->calls.push_back(std::move(call));
    }
};

RecordingCalls recorder;

}  // namespace

CallLog* callLog() { return recorder.log; }

CallLog* setCallLog(CallLog* log) {
    CallLog* previous = recorder.log;
    if (log && !previous) recorder.inner = setKernel32Calls(&recorder);
    if (!log && previous) setKernel32Calls(recorder.inner);
    recorder.log = log;
    return previous;
}

std::vector<RecordedCall> CallLog::named(const std::string& name) const {
    std::vector<RecordedCall> result;
    for (const auto& call : calls)
        if (call.name == name) result.push_back(call);
    return result;
}

}  // namespace platform
