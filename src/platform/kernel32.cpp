// The kernel32 calls on every system: each call on a handle lands in the Device the handle is,
// GetTickCount and Sleep run on the process clock, and every call is written to the installed
// call log (see call_log.h for each call's record).
#include "platform/kernel32.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/call_log.h"
#include "platform/clock.h"
#include "platform/console_title.h"
#include "platform/device.h"

namespace platform {
namespace {

struct OpenerEntry {
    int id;
    DeviceOpener opener;
};

std::vector<OpenerEntry>& openers() {
    static std::vector<OpenerEntry> list;
    return list;
}

int nextOpenerId = 1;

// Every handle CreateFileA has handed out and CloseHandle has not yet closed. A handle that is not
// in here (never opened, already closed, or made up) fails every call, as on Windows.
std::unordered_set<Device*>& liveDevices() {
    static std::unordered_set<Device*> set;
    return set;
}

CallLog* installedLog = nullptr;

void record(const char* name, std::vector<std::uint64_t> args, std::string text,
            std::uint64_t result) {
    RecordedCall call;
    call.timeNs = processClock().nowNs();
    call.name = name;
    call.args = std::move(args);
    call.text = std::move(text);
    call.result = result;
    installedLog->calls.push_back(std::move(call));
}

std::string hexText(const void* data, k32::DWORD count) {
    std::string text;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    char digits[4];
    for (k32::DWORD i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += digits;
    }
    return text;
}

}  // namespace

int addDeviceOpener(DeviceOpener opener) {
    int id = nextOpenerId++;
    openers().push_back({id, std::move(opener)});
    return id;
}

void removeDeviceOpener(int id) {
    auto& list = openers();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [id](const OpenerEntry& e) { return e.id == id; }),
               list.end());
}

Device* deviceFromHandle(k32::HANDLE handle) {
    if (handle == nullptr || handle == k32::INVALID_HANDLE_VALUE) return nullptr;
    auto* device = static_cast<Device*>(handle);
    return liveDevices().count(device) ? device : nullptr;
}

CallLog* callLog() { return installedLog; }

CallLog* setCallLog(CallLog* log) {
    CallLog* previous = installedLog;
    installedLog = log;
    return previous;
}

std::vector<RecordedCall> CallLog::named(const std::string& name) const {
    std::vector<RecordedCall> result;
    for (const auto& call : calls)
        if (call.name == name) result.push_back(call);
    return result;
}

}  // namespace platform

namespace k32 {

using platform::deviceFromHandle;
using platform::record;

namespace {
inline bool logging() { return platform::installedLog != nullptr; }
}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    std::unique_ptr<platform::Device> device;
    if (fileName != nullptr) {
        std::string name = fileName;
        bool failed = false;
        // Newest opener first; copied so an opener may register or remove openers.
        auto list = platform::openers();
        for (auto it = list.rbegin(); it != list.rend() && !device && !failed; ++it)
            device = it->opener(name, desiredAccess, failed);
        if (!device && !failed) device = platform::openSystemDevice(name, desiredAccess);
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (device) {
        platform::Device* raw = device.release();
        platform::liveDevices().insert(raw);
        handle = raw;
    }
    if (logging())
        record("CreateFileA", {desiredAccess, shareMode, creationDisposition, flagsAndAttributes},
               fileName ? fileName : "", handle != INVALID_HANDLE_VALUE ? 1 : 0);
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    platform::Device* device = deviceFromHandle(handle);
    if (device) {
        platform::liveDevices().erase(device);
        delete device;
    }
    BOOL ok = device ? TRUE : FALSE;
    if (logging()) record("CloseHandle", {}, "", ok);
    return ok;
}

namespace {
std::vector<std::uint64_t> dcbArgs(const DCB* dcb) {
    if (!dcb) return {};
    return {dcb->BaudRate, dcb->ByteSize, dcb->Parity,      dcb->StopBits,
            dcb->fParity,  dcb->fDtrControl, dcb->fRtsControl};
}
std::vector<std::uint64_t> timeoutArgs(const COMMTIMEOUTS* t) {
    if (!t) return {};
    return {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier, t->ReadTotalTimeoutConstant,
            t->WriteTotalTimeoutMultiplier, t->WriteTotalTimeoutConstant};
}
}  // namespace

BOOL GetCommState(HANDLE handle, DCB* dcb) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && dcb && device->getCommState(*dcb) ? TRUE : FALSE;
    if (logging()) record("GetCommState", ok ? dcbArgs(dcb) : std::vector<std::uint64_t>{}, "", ok);
    return ok;
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && dcb && device->setCommState(*dcb) ? TRUE : FALSE;
    if (logging()) record("SetCommState", dcbArgs(dcb), "", ok);
    return ok;
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && timeouts && device->getCommTimeouts(*timeouts) ? TRUE : FALSE;
    if (logging())
        record("GetCommTimeouts", ok ? timeoutArgs(timeouts) : std::vector<std::uint64_t>{}, "", ok);
    return ok;
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && timeouts && device->setCommTimeouts(*timeouts) ? TRUE : FALSE;
    if (logging()) record("SetCommTimeouts", timeoutArgs(timeouts), "", ok);
    return ok;
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && device->purge(flags) ? TRUE : FALSE;
    if (logging()) record("PurgeComm", {flags}, "", ok);
    return ok;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* /*overlapped*/) {
    platform::Device* device = deviceFromHandle(handle);
    DWORD got = 0;
    BOOL ok = FALSE;
    if (device && (buffer || bytesToRead == 0)) ok = device->read(buffer, bytesToRead, got) ? TRUE : FALSE;
    if (got > bytesToRead) got = bytesToRead;
    if (bytesRead) *bytesRead = got;
    if (logging()) {
        std::uint64_t first = got > 0 ? static_cast<const BYTE*>(buffer)[0] : platform::kNoByte;
        record("ReadFile", {bytesToRead, got, first}, platform::hexText(buffer, got), ok);
    }
    return ok;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* /*overlapped*/) {
    platform::Device* device = deviceFromHandle(handle);
    DWORD written = 0;
    BOOL ok = FALSE;
    if (device && (buffer || bytesToWrite == 0))
        ok = device->write(buffer, bytesToWrite, written) ? TRUE : FALSE;
    if (written > bytesToWrite) written = bytesToWrite;
    if (bytesWritten) *bytesWritten = written;
    if (logging())
        record("WriteFile", {bytesToWrite, written},
               buffer ? platform::hexText(buffer, bytesToWrite) : std::string(), ok);
    return ok;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    platform::Device* device = deviceFromHandle(handle);
    BOOL ok = device && device->escape(function) ? TRUE : FALSE;
    if (logging()) record("EscapeCommFunction", {function}, "", ok);
    return ok;
}

BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus) {
    platform::Device* device = deviceFromHandle(handle);
    DWORD status = 0;
    BOOL ok = device && device->modemStatus(status) ? TRUE : FALSE;
    if (modemStatus) *modemStatus = ok ? status : 0;
    if (logging()) record("GetCommModemStatus", {ok ? status : 0u}, "", ok);
    return ok;
}

BOOL SetConsoleTitleA(LPCSTR title) {
    BOOL ok = platform::setConsoleTitle(title ? title : "") ? TRUE : FALSE;
    if (logging()) record("SetConsoleTitleA", {}, title ? title : "", ok);
    return ok;
}

namespace {

// Peeking and reading console input differ only in whether the events stay queued.
using ConsoleInputCall = bool (platform::Device::*)(INPUT_RECORD*, DWORD, DWORD&);

BOOL consoleInput(const char* name, ConsoleInputCall call, HANDLE handle, INPUT_RECORD* buffer,
                  DWORD length, DWORD* eventsRead) {
    platform::Device* device = deviceFromHandle(handle);
    DWORD events = 0;
    BOOL ok = FALSE;
    if (device && (buffer || length == 0)) ok = (device->*call)(buffer, length, events) ? TRUE : FALSE;
    if (events > length) events = length;
    if (eventsRead) *eventsRead = events;
    if (logging()) record(name, {length, events}, "", ok);
    return ok;
}

}  // namespace

BOOL PeekConsoleInputA(HANDLE handle, INPUT_RECORD* buffer, DWORD length, DWORD* eventsRead) {
    return consoleInput("PeekConsoleInputA", &platform::Device::peekConsoleInput, handle, buffer,
                        length, eventsRead);
}

BOOL ReadConsoleInputA(HANDLE handle, INPUT_RECORD* buffer, DWORD length, DWORD* eventsRead) {
    return consoleInput("ReadConsoleInputA", &platform::Device::readConsoleInput, handle, buffer,
                        length, eventsRead);
}

DWORD GetTickCount() {
    DWORD tick = platform::processClock().tickCount();
    if (logging()) record("GetTickCount", {}, "", tick);
    return tick;
}

void Sleep(DWORD milliseconds) {
    platform::Clock& clock = platform::processClock();
    clock.sleepUntilNs(clock.nowNs() + static_cast<std::uint64_t>(milliseconds) * platform::kNsPerMs);
    if (logging()) record("Sleep", {milliseconds}, "", 0);
}

}  // namespace k32
