// An open handle's backend. CreateFileA asks the registered openers (newest first) and then the
// system backend for a Device; the HANDLE it returns is the Device itself. Every kernel32 call on
// a handle lands in the matching virtual function; a backend that does not support a call keeps
// the default, which fails as Windows fails such a call on the wrong kind of handle.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/kernel32.h"

namespace platform {

// What WaitForMultipleObjects asks of a handle: whether it is signaled now and, while it is not,
// what can change that: a descriptor the system waits on (a file descriptor on Linux/macOS, a
// waitable handle on Windows; -1 for none) and a time on the process clock at which to look again.
struct WaitState {
    bool signaled = false;
    std::intptr_t descriptor = -1;
    std::optional<std::uint64_t> lookAgainNs;
};

// Waits, on the real clock, until one of the descriptors is ready (true) or `untilNs` on the
// process clock has come (none: no limit). Each system has its own (wait_posix.cpp,
// wait_windows.cpp).
bool waitForDescriptors(const std::intptr_t* descriptors, std::size_t count,
                        std::optional<std::uint64_t> untilNs);

class Device {
public:
    virtual ~Device() = default;

    virtual bool getCommState(k32::DCB& /*dcb*/) { return false; }
    virtual bool setCommState(const k32::DCB& /*dcb*/) { return false; }
    virtual bool getCommTimeouts(k32::COMMTIMEOUTS& /*timeouts*/) { return false; }
    virtual bool setCommTimeouts(const k32::COMMTIMEOUTS& /*timeouts*/) { return false; }
    virtual bool purge(k32::DWORD /*flags*/) { return false; }
    virtual bool read(void* /*buffer*/, k32::DWORD /*count*/, k32::DWORD& read) {
        read = 0;
        return false;
    }
    virtual bool write(const void* /*buffer*/, k32::DWORD /*count*/, k32::DWORD& written) {
        written = 0;
        return false;
    }
    virtual bool escape(k32::DWORD /*function*/) { return false; }
    virtual bool modemStatus(k32::DWORD& status) {
        status = 0;
        return false;
    }
    virtual bool peekConsoleInput(k32::INPUT_RECORD* /*records*/, k32::DWORD /*length*/,
                                  k32::DWORD& events) {
        events = 0;
        return false;
    }
    virtual bool readConsoleInput(k32::INPUT_RECORD* /*records*/, k32::DWORD /*length*/,
                                  k32::DWORD& events) {
        events = 0;
        return false;
    }
    // Fills `state` for WaitForMultipleObjects; false for a handle that cannot be waited on.
    virtual bool waitState(WaitState& /*state*/) { return false; }
};

// The state a port reports before anything has set it: 9600 Bd, 8 data bits, no parity, one stop
// bit, binary, the usual XON/XOFF characters, DTR and RTS in the given control modes.
inline k32::DCB freshPortState(k32::DWORD dtrControl = k32::DTR_CONTROL_DISABLE,
                               k32::DWORD rtsControl = k32::RTS_CONTROL_DISABLE) {
    k32::DCB dcb{};
    dcb.DCBlength = sizeof(k32::DCB);
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = dtrControl;
    dcb.fRtsControl = rtsControl;
    dcb.ByteSize = 8;
    dcb.Parity = k32::NOPARITY;
    dcb.StopBits = k32::ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// Returns a device for the name, or nullptr when the name is not this opener's.
// `failed` set to true means the name is this opener's but it could not be opened.
using DeviceOpener = std::function<std::unique_ptr<Device>(const std::string& name,
                                                           k32::DWORD access, bool& failed)>;

// Registers an opener in front of the others; returns an id for removeDeviceOpener.
int addDeviceOpener(DeviceOpener opener);
void removeDeviceOpener(int id);

// The Device behind an open handle; nullptr for a null, invalid, closed or unknown handle.
Device* deviceFromHandle(k32::HANDLE handle);

// The system's own backend (termios/ioctl on POSIX, kernel32 on Windows); nullptr on failure.
std::unique_ptr<Device> openSystemDevice(const std::string& name, k32::DWORD access);

}  // namespace platform
