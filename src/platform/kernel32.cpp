// The kernel32 calls on every system: each k32 name hands its call to the installed
// Kernel32Calls. The built-in set here lands each call on a handle in the Device the handle is,
// runs GetTickCount and Sleep on the process clock and sets the console title through the
// system's console.
#include "platform/kernel32.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/console/console_title.h"
#include "platform/device.h"
#include "platform/kernel32_calls.h"
#include "platform/open_failure.h"

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

// Guards the opener list and the set of live handles, so that several runs may open, use and close
// their own handles at the same time. A device's own calls are not under it: each handle is used
// by one run only.
std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

// Every handle CreateFileA has handed out and CloseHandle has not yet closed. A handle that is not
// in here (never opened, already closed, or made up) fails every call, as on Windows.
std::unordered_set<Device*>& liveDevices() {
    static std::unordered_set<Device*> set;
    return set;
}

using k32::BOOL;
using k32::DWORD;
using k32::FALSE;
using k32::HANDLE;
using k32::TRUE;

// Peeking and reading console input differ only in whether the events stay queued.
using ConsoleInputCall = bool (Device::*)(k32::INPUT_RECORD*, DWORD, DWORD&);

class DeviceCalls final : public Kernel32Calls {
public:
    HANDLE CreateFileA(k32::LPCSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                       void* /*securityAttributes*/, DWORD /*creationDisposition*/,
                       DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) override {
        std::unique_ptr<Device> device;
        if (fileName != nullptr) {
            std::string name = fileName;
            bool failed = false;
            // Newest opener first; copied so an opener may register or remove openers.
            std::vector<OpenerEntry> list;
            {
                std::lock_guard<std::mutex> lock(tableMutex());
                list = openers();
            }
            for (auto it = list.rbegin(); it != list.rend() && !device && !failed; ++it)
                device = it->opener(name, desiredAccess, failed);
            if (!device && !failed) device = openSystemDevice(name, desiredAccess);
        }
        if (!device) return k32::INVALID_HANDLE_VALUE;
        Device* raw = device.release();
        std::lock_guard<std::mutex> lock(tableMutex());
        liveDevices().insert(raw);
        return raw;
    }

    BOOL CloseHandle(HANDLE handle) override {
        Device* device = nullptr;
        {
            std::lock_guard<std::mutex> lock(tableMutex());
            if (handle != nullptr && handle != k32::INVALID_HANDLE_VALUE &&
                liveDevices().erase(static_cast<Device*>(handle)) != 0)
                device = static_cast<Device*>(handle);
        }
        if (!device) return FALSE;
        delete device;
        return TRUE;
    }

    BOOL GetCommState(HANDLE handle, k32::DCB* dcb) override {
        Device* device = deviceFromHandle(handle);
        return device && dcb && device->getCommState(*dcb) ? TRUE : FALSE;
    }

    BOOL SetCommState(HANDLE handle, k32::DCB* dcb) override {
        Device* device = deviceFromHandle(handle);
        return device && dcb && device->setCommState(*dcb) ? TRUE : FALSE;
    }

    BOOL GetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        Device* device = deviceFromHandle(handle);
        return device && timeouts && device->getCommTimeouts(*timeouts) ? TRUE : FALSE;
    }

    BOOL SetCommTimeouts(HANDLE handle, k32::COMMTIMEOUTS* timeouts) override {
        Device* device = deviceFromHandle(handle);
        return device && timeouts && device->setCommTimeouts(*timeouts) ? TRUE : FALSE;
    }

    BOOL PurgeComm(HANDLE handle, DWORD flags) override {
        Device* device = deviceFromHandle(handle);
        return device && device->purge(flags) ? TRUE : FALSE;
    }

    BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                  void* /*overlapped*/) override {
        Device* device = deviceFromHandle(handle);
        DWORD got = 0;
        BOOL ok = FALSE;
        if (device && (buffer || bytesToRead == 0))
            ok = device->read(buffer, bytesToRead, got) ? TRUE : FALSE;
        if (got > bytesToRead) got = bytesToRead;
        if (bytesRead) *bytesRead = got;
        return ok;
    }

    BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   void* /*overlapped*/) override {
        Device* device = deviceFromHandle(handle);
        DWORD written = 0;
        BOOL ok = FALSE;
        if (device && (buffer || bytesToWrite == 0))
            ok = device->write(buffer, bytesToWrite, written) ? TRUE : FALSE;
        if (written > bytesToWrite) written = bytesToWrite;
        if (bytesWritten) *bytesWritten = written;
        return ok;
    }

    BOOL EscapeCommFunction(HANDLE handle, DWORD function) override {
        Device* device = deviceFromHandle(handle);
        return device && device->escape(function) ? TRUE : FALSE;
    }

    BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus) override {
        Device* device = deviceFromHandle(handle);
        DWORD status = 0;
        BOOL ok = device && device->modemStatus(status) ? TRUE : FALSE;
        if (modemStatus) *modemStatus = ok ? status : 0;
        return ok;
    }

    BOOL SetConsoleTitleA(k32::LPCSTR title) override {
        return setConsoleTitle(title ? title : "") ? TRUE : FALSE;
    }

    BOOL PeekConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return consoleInput(&Device::peekConsoleInput, handle, buffer, length, eventsRead);
    }

    BOOL ReadConsoleInputA(HANDLE handle, k32::INPUT_RECORD* buffer, DWORD length,
                           DWORD* eventsRead) override {
        return consoleInput(&Device::readConsoleInput, handle, buffer, length, eventsRead);
    }

    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                 DWORD milliseconds) override {
        if (count == 0 || count > k32::MAXIMUM_WAIT_OBJECTS || handles == nullptr || waitAll)
            return k32::WAIT_FAILED;
        Clock& clock = processClock();
        const bool realTime = dynamic_cast<RealClock*>(&clock) != nullptr;
        std::optional<std::uint64_t> deadline;
        if (milliseconds != k32::INFINITE)
            deadline = clock.nowNs() + std::uint64_t{milliseconds} * kNsPerMs;
        std::vector<std::intptr_t> descriptors;
        for (;;) {
            descriptors.clear();
            std::optional<std::uint64_t> wake = deadline;
            for (DWORD i = 0; i < count; ++i) {
                Device* device = deviceFromHandle(handles[i]);
                WaitState state;
                if (!device || !device->waitState(state)) return k32::WAIT_FAILED;
                if (state.signaled) return k32::WAIT_OBJECT_0 + i;
                if (state.descriptor >= 0) descriptors.push_back(state.descriptor);
                if (state.lookAgainNs) wake = wake ? std::min(*wake, *state.lookAgainNs)
                                                   : *state.lookAgainNs;
            }
            const std::uint64_t now = clock.nowNs();
            if (deadline && now >= *deadline) return k32::WAIT_TIMEOUT;
            // Nothing to watch and no time to look again: the wait would never end.
            if (descriptors.empty() && !wake) return k32::WAIT_FAILED;
            // Each pass lets time go on, so that a state that is due but not yet signaled cannot
            // hold the wait in a loop on a virtual clock.
            if (wake && *wake <= now) wake = now + 1;
            if (descriptors.empty()) {
                clock.sleepUntilNs(*wake);
            } else if (realTime) {
                waitForDescriptors(descriptors.data(), descriptors.size(), wake);
            } else {
                // A virtual clock: the descriptors are looked at, and time leaps to the next
                // thing that is due while they have nothing.
                const bool ready = waitForDescriptors(
                    descriptors.data(), descriptors.size(),
                    wake ? std::optional<std::uint64_t>(now) : std::nullopt);
                if (!ready && wake) clock.sleepUntilNs(*wake);
            }
        }
    }

    DWORD GetTickCount() override { return processClock().tickCount(); }

    void Sleep(DWORD milliseconds) override {
        Clock& clock = processClock();
        clock.sleepUntilNs(clock.nowNs() + static_cast<std::uint64_t>(milliseconds) * kNsPerMs);
    }

private:
    static BOOL consoleInput(ConsoleInputCall call, HANDLE handle, k32::INPUT_RECORD* buffer,
                             DWORD length, DWORD* eventsRead) {
        Device* device = deviceFromHandle(handle);
        DWORD events = 0;
        BOOL ok = FALSE;
        if (device && (buffer || length == 0))
            ok = (device->*call)(buffer, length, events) ? TRUE : FALSE;
        if (events > length) events = length;
        if (eventsRead) *eventsRead = events;
        return ok;
    }
};

DeviceCalls builtInCalls;
Kernel32Calls* installedCalls = &builtInCalls;

}  // namespace

int addDeviceOpener(DeviceOpener opener) {
    std::lock_guard<std::mutex> lock(tableMutex());
    int id = nextOpenerId++;
    openers().push_back({id, std::move(opener)});
    return id;
}

void removeDeviceOpener(int id) {
    std::lock_guard<std::mutex> lock(tableMutex());
    auto& list = openers();
    list.erase(
        std::remove_if(list.begin(), list.end(), [id](const OpenerEntry& e) { return e.id == id; }),
        list.end());
}

Device* deviceFromHandle(k32::HANDLE handle) {
    if (handle == nullptr || handle == k32::INVALID_HANDLE_VALUE) return nullptr;
    auto* device = static_cast<Device*>(handle);
    std::lock_guard<std::mutex> lock(tableMutex());
    return liveDevices().count(device) ? device : nullptr;
}

Kernel32Calls& kernel32Calls() { return *installedCalls; }

Kernel32Calls* setKernel32Calls(Kernel32Calls* calls) {
    Kernel32Calls* previous = installedCalls;
    installedCalls = calls ? calls : &builtInCalls;
    return previous;
}

}  // namespace platform

namespace k32 {

using platform::kernel32Calls;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    platform::clearOpenFailure();
    return kernel32Calls().CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                       creationDisposition, flagsAndAttributes, templateFile);
}

BOOL CloseHandle(HANDLE handle) { return kernel32Calls().CloseHandle(handle); }

BOOL GetCommState(HANDLE handle, DCB* dcb) { return kernel32Calls().GetCommState(handle, dcb); }

BOOL SetCommState(HANDLE handle, DCB* dcb) { return kernel32Calls().SetCommState(handle, dcb); }

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return kernel32Calls().GetCommTimeouts(handle, timeouts);
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return kernel32Calls().SetCommTimeouts(handle, timeouts);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) { return kernel32Calls().PurgeComm(handle, flags); }

BOOL ReadFile(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    return kernel32Calls().ReadFile(handle, buffer, bytesToRead, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped) {
    return kernel32Calls().WriteFile(handle, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    return kernel32Calls().EscapeCommFunction(handle, function);
}

BOOL GetCommModemStatus(HANDLE handle, DWORD* modemStatus) {
    return kernel32Calls().GetCommModemStatus(handle, modemStatus);
}

BOOL SetConsoleTitleA(LPCSTR title) { return kernel32Calls().SetConsoleTitleA(title); }

BOOL PeekConsoleInputA(HANDLE handle, INPUT_RECORD* buffer, DWORD length, DWORD* eventsRead) {
    return kernel32Calls().PeekConsoleInputA(handle, buffer, length, eventsRead);
}

BOOL ReadConsoleInputA(HANDLE handle, INPUT_RECORD* buffer, DWORD length, DWORD* eventsRead) {
    return kernel32Calls().ReadConsoleInputA(handle, buffer, length, eventsRead);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return kernel32Calls().WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

DWORD GetTickCount() { return kernel32Calls().GetTickCount(); }

void Sleep(DWORD milliseconds) { kernel32Calls().Sleep(milliseconds); }

}  // namespace k32
