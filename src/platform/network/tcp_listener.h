// The listening side of a TCP connection on Linux/macOS, for the programs that serve a port
// (bsl430-sim's network server) or stand between two ends of one (the tests' delaying proxy):
// the address a server is told to listen on, a listening socket on it, and reading what came
// together with how long it has waited in the kernel.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Splits "[HOST:]PORT" (HOST may be an IPv6 address in brackets); loopback when HOST is missing.
// False when it is not of that form or PORT is not a number up to 65535.
bool splitListenAddress(const std::string& text, std::string& host, std::string& port);

// Non-blocking, and not inherited by programs this one might start.
void setServerDescriptorFlags(int fd);

// A listening, non-blocking socket on `address`, or -1 with errno set.
int listenAt(const sockaddr* address, socklen_t length);

// Listens on HOST:PORT; fills in the address it is bound to (PORT 0 becomes the one taken) and the
// rfc2217:// URL that reaches it. -1 with `error` set when no address of HOST can be listened on.
int listenOn(const std::string& host, const std::string& port, sockaddr_storage& bound,
             socklen_t& length, std::string& url, std::string& error);

// Asks the kernel to stamp each received chunk with its arrival time (where it can).
void stampArrivals(int fd);

// Reads what has come on `fd`, as recv does, and sets `ageNs` to how long it has waited since the
// kernel received it (0 where the kernel gives no stamp): a reader that wakes late takes the
// arrival back by that much, so a line change does not move against the next one.
ssize_t receiveWithAge(int fd, std::uint8_t* buffer, std::size_t size, std::int64_t& ageNs);

}  // namespace platform
