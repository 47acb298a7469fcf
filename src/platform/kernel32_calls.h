// The kernel32 calls as one replaceable set. k32::CreateFileA and the others hand every call to
// the installed set; the process starts with the built-in one, which gives each call on a handle
// to the handle's Device, GetTickCount and Sleep to the process clock and SetConsoleTitleA to the
// console. Whatever wants to watch the calls wraps the installed set and forwards to it.
#pragma once

#include "platform/kernel32.h"

namespace platform {

class Kernel32Calls {
public:
    virtual ~Kernel32Calls() = default;

    virtual k32::HANDLE CreateFileA(k32::LPCSTR fileName, k32::DWORD desiredAccess,
                                    k32::DWORD shareMode, void* securityAttributes,
                                    k32::DWORD creationDisposition, k32::DWORD flagsAndAttributes,
                                    k32::HANDLE templateFile) = 0;
    virtual k32::BOOL CloseHandle(k32::HANDLE handle) = 0;

    virtual k32::BOOL GetCommState(k32::HANDLE handle, k32::DCB* dcb) = 0;
    virtual k32::BOOL SetCommState(k32::HANDLE handle, k32::DCB* dcb) = 0;
    virtual k32::BOOL GetCommTimeouts(k32::HANDLE handle, k32::COMMTIMEOUTS* timeouts) = 0;
    virtual k32::BOOL SetCommTimeouts(k32::HANDLE handle, k32::COMMTIMEOUTS* timeouts) = 0;
    virtual k32::BOOL PurgeComm(k32::HANDLE handle, k32::DWORD flags) = 0;
    virtual k32::BOOL ReadFile(k32::HANDLE handle, void* buffer, k32::DWORD bytesToRead,
                               k32::DWORD* bytesRead, void* overlapped) = 0;
    virtual k32::BOOL WriteFile(k32::HANDLE handle, const void* buffer, k32::DWORD bytesToWrite,
                                k32::DWORD* bytesWritten, void* overlapped) = 0;
    virtual k32::BOOL EscapeCommFunction(k32::HANDLE handle, k32::DWORD function) = 0;
    virtual k32::BOOL GetCommModemStatus(k32::HANDLE handle, k32::DWORD* modemStatus) = 0;

    virtual k32::BOOL SetConsoleTitleA(k32::LPCSTR title) = 0;
    virtual k32::BOOL PeekConsoleInputA(k32::HANDLE handle, k32::INPUT_RECORD* buffer,
                                        k32::DWORD length, k32::DWORD* eventsRead) = 0;
    virtual k32::BOOL ReadConsoleInputA(k32::HANDLE handle, k32::INPUT_RECORD* buffer,
                                        k32::DWORD length, k32::DWORD* eventsRead) = 0;

    virtual k32::DWORD WaitForMultipleObjects(k32::DWORD count, const k32::HANDLE* handles,
                                              k32::BOOL waitAll, k32::DWORD milliseconds) = 0;

    virtual k32::DWORD GetTickCount() = 0;
    virtual void Sleep(k32::DWORD milliseconds) = 0;
};

// The installed set (the built-in one unless replaced).
Kernel32Calls& kernel32Calls();
// Installs a set (nullptr: the built-in one again) and returns the one it replaces.
Kernel32Calls* setKernel32Calls(Kernel32Calls* calls);

}  // namespace platform
