// A record of every kernel32 call the program makes, in order, with its arguments, result and
// the process-clock time. Tests install a log to check exactly which calls a run made and when.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct RecordedCall {
    std::uint64_t timeNs = 0;            // process-clock time when the call returned
    std::string name;                    // "EscapeCommFunction", "ReadFile", "Sleep", ...
    std::vector<std::uint64_t> args;     // numeric arguments (see kernel32.cpp for each call)
    std::string text;                    // a name argument or data bytes, where the call has one
    std::uint64_t result = 0;
};

class CallLog {
public:
    std::vector<RecordedCall> calls;
    // Calls of one name, in order.
    std::vector<RecordedCall> named(const std::string& name) const;
    void clear() { calls.clear(); }
};

// The installed log (nullptr: calls are not recorded).
CallLog* callLog();
CallLog* setCallLog(CallLog* log);

}  // namespace platform
