// The TCP connection under rfc2217:// ports, as every system has it: the send and receive loops
// with their time-outs live here once; socket_posix.cpp and socket_windows.cpp supply the three
// non-blocking steps of their socket API and connectTcp.
#pragma once

#include "platform/rfc2217_connection.h"

namespace platform {

// How a non-blocking step on a socket went: done, to be tried again (nothing could move now, or
// a wait's deadline passed), or failed for good.
enum class SocketStep { Done, Again, Failed };

class SocketConnection : public Connection {
public:
    bool send(const std::uint8_t* data, std::size_t count) final;
    Received receive(std::uint8_t* buffer, std::size_t capacity, std::size_t& got,
                     std::optional<std::uint64_t> deadlineNs) final;

protected:
    // Ends the connection gently, for the destructor of a system's connection before it closes
    // the socket: says no more will be sent and takes in what the peer still sends until it
    // closes too (at most kCloseTimeoutMs). Closing a socket with unread bytes in it resets the
    // connection, and a reset may drop the last requests still on their way (a line change
    // that releases the target's reset, say).
    void finish();
    // No more sends: the peer gets the end of the stream after what was sent.
    virtual void shutdownSending() = 0;
    // Sends what the system takes now of `count` bytes (Done with `sent` above 0).
    virtual SocketStep sendSome(const std::uint8_t* data, std::size_t count, std::size_t& sent) = 0;
    // Takes what has arrived (Done with `got` above 0); Failed when the peer closed or reset.
    virtual SocketStep receiveSome(std::uint8_t* buffer, std::size_t capacity,
                                   std::size_t& got) = 0;
    // Waits until the socket can be written (`write`) or read, or has an error to report (Done),
    // or the deadline on the process clock passes (Again; none: no limit).
    virtual SocketStep wait(bool write, std::optional<std::uint64_t> deadlineNs) = 0;

private:
    bool broken_ = false;
};

}  // namespace platform
