// Why the last CreateFileA on this thread failed, in words for the person at the keyboard: the
// device that was tried, what the system said, and what usually helps. The backends record it
// where they give up; CreateFileA forgets the previous one when it starts. The kernel32 calls
// themselves carry no such text, so the program asks for it after a failed open.
#pragma once

#include <string>

namespace platform {

// Empty when the last open on this thread succeeded, or its backend said nothing.
const std::string& lastOpenFailure();
void setOpenFailure(std::string reason);
void clearOpenFailure();

// What went wrong when connecting to a network port.
enum class ConnectFailure { Unresolved, Refused, NoAnswer, Other };

// The reason for a failed connection to HOST:PORT, with the system's own text.
std::string connectFailureText(const std::string& host, const std::string& port,
                               ConnectFailure kind, const std::string& systemText);

}  // namespace platform
