// "rfc2217://HOST:PORT": a serial port that another machine serves over the network with the
// Telnet Com Port Control Option (ser2net, the simulated target's network server, ...). HOST is a
// name, an IPv4 address or an IPv6 address in brackets; PORT is the TCP port.
//
// The kernel32 calls map onto the option: SetCommState sends the line format (the first call all
// of it with "no flow control", later calls only what changed), EscapeCommFunction SETDTR/CLRDTR/
// SETRTS/CLRRTS/SETBREAK/CLRBREAK the line changes, PurgeComm a purge request plus a discard of
// what has arrived here; GetCommState answers what was last set, starting at 9600 Bd 8N1. Nothing
// waits for the server's answers: requests go out at once and its answers are taken wherever they
// fall among the data. ReadFile keeps the read time-outs of a local port, measured here on the
// process clock, each lengthened by the round trip to the server: measured when the port opens
// (from the answer to the signature request or to a Telnet TIMING-MARK probe sent with it, which
// every Telnet server answers, where the signature is optional) and kept current by further
// probes while reads wait, so that a board far away answers within the time-outs a local one
// does. A read that returns at once stays one, and nothing that is sent waits, so the entry
// sequence keeps its timing. A connection the server closes is an adapter that was pulled: every
// later call fails, a read at once (after 1 ms, so a caller retrying until a tick-count deadline
// still ends).
#pragma once

#include <memory>
#include <string>

#include "platform/device.h"
#include "platform/network/rfc2217_connection.h"

namespace platform {

// Whether the name is a network port's (the rfc2217:// prefix, in any case).
bool isNetworkPortName(const std::string& name);

// Splits "rfc2217://HOST:PORT"; false when the name is malformed (no host, a port that is not a
// number from 1 to 65535, an IPv6 address without brackets, anything after the port).
bool parseNetworkPortName(const std::string& name, std::string& host, std::string& port);

// Connects and returns the port; nullptr when the name is malformed or no connection comes up.
std::unique_ptr<Device> openNetworkPort(const std::string& name);

// The port over an open connection: sends the opening negotiation at once; nullptr when that
// fails.
std::unique_ptr<Device> makeNetworkPort(std::unique_ptr<Connection> connection);

}  // namespace platform
