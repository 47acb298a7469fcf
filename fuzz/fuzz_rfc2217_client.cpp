// The receive side of an rfc2217:// port against a server whose every byte comes from the fuzzer:
// negotiations of any kind, subnegotiations cut short or never ended, IAC at every chunk boundary,
// floods, a connection that closes or stops reading. The port runs over an in-memory connection
// on a virtual clock, driven by kernel32-style calls the input also picks.
//
// Input, as operations one after another:
//   0x00-0x3F  the server sends a chunk of (op + 1) bytes, taken from the input
//   0x40-0x5F  ReadFile of (op & 0x1F) + 1 bytes; the next byte picks the time-outs
//   0x60-0x67  WriteFile of the next byte
//   0x68       SetCommState; the next byte picks speed, parity and stop bits
//   0x69-0x6E  EscapeCommFunction SETDTR, CLRDTR, SETRTS, CLRRTS; GetCommModemStatus; GetCommState
//   0x6F       PurgeComm; the next byte's low bits pick the flags
//   0x70       the server floods: (next byte + 1) x 1 KiB of the byte after it
//   0x71       the server closes the connection once what it sent has been read
//   0x72       the server stops reading: sends fail
//   other      nothing
//
// Properties checked:
// - every read ends within its time-outs (virtual time), which a read that waits stretches by the
//   round trip the port has measured, and one with no time-out at all ends;
// - the data read, in order, is the data the server sent, nothing lost, doubled or reordered,
//   until the first purge (which drops what has arrived);
// - what the port sends is a well-formed Telnet stream whose data is exactly the bytes of the
//   writes that succeeded, and whose negotiations never outnumber the server's plus the port's
//   opening requests (the port never answers an answer);
// - once the connection has ended, reads and writes fail.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "kit/memory_connection.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/network/rfc2217_port.h"
#include "platform/network/telnet_stream.h"
#include "platform/read_timeouts.h"

namespace {

namespace telnet = platform::telnet;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kMs = platform::kNsPerMs;

// The negotiation requests the port opens with: binary and suppress-go-ahead both ways, the Com
// Port Control Option, and the first round-trip probe (DO TIMING-MARK). A later probe goes out only
// after the server has answered the last one, so it is paid for by a server negotiation.
constexpr int kOpeningRequests = 6;

const k32::COMMTIMEOUTS kTimeouts[] = {
    {k32::MAXDWORD, 0, 0, 0, 0},               // returns at once
    {k32::MAXDWORD, k32::MAXDWORD, 30, 0, 0},  // waits for the first byte
    {0, 0, 100, 0, 0},                         // total
    {0, 10, 5, 0, 0},                          // total by count
    {20, 0, 200, 0, 0},                        // interval within a total
    {15, 0, 0, 0, 0},                          // interval alone: no limit before the first byte
    {0, 0, 0, 0, 0},                           // no time-outs at all
};

// The longest a read may take, in ns, or 0 when it has no limit known in advance: its time-outs,
// stretched by the round trip the port has measured when it waits at all.
std::uint64_t longestRead(const k32::COMMTIMEOUTS& t, k32::DWORD count, std::uint64_t roundTrip) {
    const platform::ReadPlan plan = platform::planRead(t, count, 0);
    if (!plan.deadlineNs) return 0;
    const std::uint64_t waits = *plan.deadlineNs > 0 ? *plan.deadlineNs + roundTrip : 0;
    // A read on an ended connection waits at least 1 ms.
    return std::max<std::uint64_t>(waits, kMs);
}

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    bool more() const { return at < size; }
    std::uint8_t next() { return at < size ? data[at++] : 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::VirtualClock clock;
    platform::Clock* previous = platform::setProcessClock(&clock);

    auto owned = std::make_unique<platform::MemoryConnection>();
    platform::MemoryConnection& peer = *owned;
    std::unique_ptr<platform::Device> port = platform::makeNetworkPort(std::move(owned));
    if (!port) fuzzsupport::fail("the port opens over a working connection");

    Bytes serverStream;  // everything the server sent, as it sent it
    Bytes dataRead;      // everything ReadFile gave back
    Bytes written;       // the bytes of every WriteFile that succeeded
    bool purged = false;
    bool closing = false;

    Input in{data, size};
    while (in.more()) {
        const std::uint8_t op = in.next();
        if (op < 0x40) {
            Bytes chunk;
            for (int i = 0; i <= op && in.more(); ++i) chunk.push_back(in.next());
            serverStream.insert(serverStream.end(), chunk.begin(), chunk.end());
            peer.incoming.push_back(std::move(chunk));
        } else if (op < 0x60) {
            const k32::DWORD count = (op & 0x1F) + 1u;
            const k32::COMMTIMEOUTS& t = kTimeouts[in.next() % std::size(kTimeouts)];
            port->setCommTimeouts(t);
            Bytes buffer(count);
            k32::DWORD got = 0;
            const std::uint64_t start = clock.nowNs();
            const std::uint64_t roundTrip = peer.roundTripNs;
            const bool ok = port->read(buffer.data(), count, got);
            const std::uint64_t took = clock.nowNs() - start;
            const std::uint64_t limit = longestRead(t, count, roundTrip);
            if (got > count) fuzzsupport::fail("a read gives more than asked for");
            if (limit != 0 && took > limit)
                fuzzsupport::fail("a read outlasts its time-outs", std::to_string(took) + " ns");
            if (!ok && got != 0) fuzzsupport::fail("a failed read reports bytes");
            dataRead.insert(dataRead.end(), buffer.begin(), buffer.begin() + got);
        } else if (op < 0x68) {
            const std::uint8_t byte = in.next();
            k32::DWORD n = 0;
            if (port->write(&byte, 1, n)) {
                if (n != 1) fuzzsupport::fail("a write that succeeded wrote nothing");
                written.push_back(byte);
            } else if (n != 0) {
                fuzzsupport::fail("a failed write reports bytes");
            }
        } else if (op == 0x68) {
            const std::uint8_t pick = in.next();
            k32::DCB dcb{};
            port->getCommState(dcb);
            dcb.BaudRate = pick & 0x80 ? 38400 : pick & 0x40 ? 0xFFFFFF : 9600;
            dcb.Parity = pick % 5;
            dcb.StopBits = (pick >> 3) % 3;
            dcb.ByteSize = 8 - ((pick >> 5) & 1);
            port->setCommState(dcb);
        } else if (op <= 0x6C) {
            const k32::DWORD functions[] = {k32::SETDTR, k32::CLRDTR, k32::SETRTS, k32::CLRRTS};
            port->escape(functions[op - 0x69]);
        } else if (op == 0x6D) {
            k32::DWORD status = 0;
            port->modemStatus(status);
            if (status & ~0xF0u) fuzzsupport::fail("modem status outside the four inputs");
        } else if (op == 0x6E) {
            k32::DCB dcb{};
            port->getCommState(dcb);
        } else if (op == 0x6F) {
            const std::uint8_t pick = in.next();
            k32::DWORD flags = 0;
            if (pick & 1) flags |= k32::PURGE_RXCLEAR;
            if (pick & 2) flags |= k32::PURGE_TXCLEAR;
            if (pick & 4) flags |= k32::PURGE_RXABORT | k32::PURGE_TXABORT;
            port->purge(flags);
            purged = purged || (flags & k32::PURGE_RXCLEAR);
        } else if (op == 0x70) {
            const std::size_t kib = in.next() + 1u;
            Bytes flood(kib * 1024, in.next());
            serverStream.insert(serverStream.end(), flood.begin(), flood.end());
            peer.incoming.push_back(std::move(flood));
        } else if (op == 0x71) {
            peer.hungUp = true;
            closing = true;
        } else if (op == 0x72) {
            peer.refusesSends = true;
        }
    }

    // A closed connection, once everything before its end has been read, fails every read.
    if (closing) {
        peer.incoming.clear();
        k32::COMMTIMEOUTS t{0, 0, 50, 0, 0};
        port->setCommTimeouts(t);
        Bytes buffer(4096);
        k32::DWORD got = 0;
        int reads = 0;
        while (port->read(buffer.data(), 4096, got))
            if (++reads > 64)
                fuzzsupport::fail("reads keep succeeding after the connection closed");
        if (port->read(buffer.data(), 1, got))
            fuzzsupport::fail("a read succeeds after the connection closed");
        if (port->write(buffer.data(), 1, got))
            fuzzsupport::fail("a write succeeds after the connection closed");
    }

    // The data read is the server's data, in order (until a purge drops some).
    if (!purged) {
        telnet::Decoder reference;
        Bytes expected;
        reference.feed(serverStream.data(), serverStream.size(), expected,
                       [](const telnet::Command&) {});
        if (dataRead.size() > expected.size() ||
            !std::equal(dataRead.begin(), dataRead.end(), expected.begin()))
            fuzzsupport::fail("the data read is not the server's data");
    }

    // What the port sent: well-formed, its data exactly what was written, and no endless answers.
    int serverNegotiations = 0;
    {
        telnet::Decoder server;
        Bytes ignored;
        server.feed(serverStream.data(), serverStream.size(), ignored,
                    [&](const telnet::Command& c) {
                        if (c.verb >= telnet::kWill) ++serverNegotiations;
                    });
    }
    telnet::Decoder client;
    Bytes sentData;
    int negotiations = 0;
    client.feed(peer.sent.data(), peer.sent.size(), sentData, [&](const telnet::Command& c) {
        if (c.verb >= telnet::kWill) {
            ++negotiations;
        } else if (c.verb != telnet::kSb || c.option != telnet::kOptComPort || c.size == 0 ||
                   c.truncated) {
            fuzzsupport::fail("the port sent something other than a negotiation or a port command");
        }
    });
    if (sentData != written) fuzzsupport::fail("the data sent is not the data written");
    if (negotiations > serverNegotiations + kOpeningRequests)
        fuzzsupport::fail("the port answers more negotiations than it was sent");

    port.reset();
    platform::setProcessClock(previous);
    return 0;
}
