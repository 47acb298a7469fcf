// A record of every kernel32 call the program makes, in order, with its arguments, result and
// the process-clock time. Tests install a log to check exactly which calls a run made and when;
// while one is installed, a recording set of kernel32 calls wraps the installed one.
//
// What each call records (args in this order; result is the BOOL unless said otherwise):
//   CreateFileA         args {desiredAccess, shareMode, creationDisposition, flagsAndAttributes},
//                       text = the device name, result 1 for a handle, 0 for INVALID_HANDLE_VALUE
//   CloseHandle         args {}
//   GetCommState        args {BaudRate, ByteSize, Parity, StopBits, fParity, fDtrControl,
//                       fRtsControl} as returned ({} when the call failed)
//   SetCommState        args {BaudRate, ByteSize, Parity, StopBits, fParity, fDtrControl,
//                       fRtsControl} as passed
//   GetCommTimeouts     args {ReadIntervalTimeout, ReadTotalTimeoutMultiplier,
//                       ReadTotalTimeoutConstant, WriteTotalTimeoutMultiplier,
//                       WriteTotalTimeoutConstant} as returned ({} when the call failed)
//   SetCommTimeouts     args: the same five fields as passed
//   PurgeComm           args {flags}
//   ReadFile            args {requested, bytesRead, first byte read or kNoByte},
//                       text = the bytes read in hex ("80 90")
//   WriteFile           args {count, written}, text = the bytes passed in hex ("80 90")
//   EscapeCommFunction  args {function}
//   GetCommModemStatus  args {status as returned (0 on failure)}
//   SetConsoleTitleA    args {}, text = the title
//   PeekConsoleInputA   args {length, eventsRead}
//   ReadConsoleInputA   args {length, eventsRead}
//   GetTickCount        args {}, result = the tick count returned
//   Sleep               args {milliseconds}, result 0
// timeNs is taken after the call has returned, so a Sleep's time is when it ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The third ReadFile argument when no byte was read.
constexpr std::uint64_t kNoByte = 0x100;

struct RecordedCall {
    std::uint64_t timeNs = 0;         // process-clock time when the call returned
    std::string name;                 // "EscapeCommFunction", "ReadFile", "Sleep", ...
    std::vector<std::uint64_t> args;  // numeric arguments (see the table above)
    std::string text;                 // a name argument or data bytes, where the call has one
    std::uint64_t result = 0;
};

class CallLog {
public:
    std::vector<RecordedCall> calls;
    // Calls of one name, in order.
    std::vector<RecordedCall> named(const std::string& name) const;
    void clear() { calls.clear(); }
};

// The installed log (nullptr: calls are not recorded, and nothing wraps the kernel32 calls).
CallLog* callLog();
CallLog* setCallLog(CallLog* log);

}  // namespace platform
