// A simulated serial port: a port on the process clock whose far end is a model, a FarEnd (the
// simulated chip behind the "sim" device, or whatever else plays the other end of the line).
// Writes take their wire time at the host's format; reads honour the COMMTIMEOUTS as Windows does,
// advancing the clock instead of waiting when it is virtual.
//
// Semantics, for whoever writes a far end or a test on it:
// - Before any call is handled at time `now`, the far end is run up to `now`.
// - SetCommState stores the DCB and tells the far end the new line format when it changed;
//   GetCommState returns the stored DCB (9600 Bd, 8N1, fBinary at the start).
// - EscapeCommFunction SETDTR/CLRDTR/SETRTS/CLRRTS set the lines and call hostLines every time.
// - WriteFile: the transmitter is a UART's, a holding register in front of the shift register.
//   Each byte is taken once the byte before it has started on the wire (at once on an idle line or
//   behind a single byte), so at most one byte shifts out and one waits; the call returns when its
//   last byte has been taken. A byte starts when the one before has left, or when it is taken on an
//   idle line, and lasts one character time of the host's format when it was written, which it
//   keeps through later format changes. The far end gets it with hostByte at the end of its stop
//   bit, in time order with the host's later line and format changes and the far end's own
//   activity; a read waiting for an answer lets the host's bytes still on their way arrive first.
//   So the wire stays busy while the host writes again within a character time, and a host that
//   wakes late from a wait delays itself, not the wire.
// - CloseHandle first waits for the bytes taken to leave, as closing a serial port drains its
//   transmitter; the far end gets them.
// - ReadFile: interval MAXDWORD with multiplier and constant 0 returns at once with what has
//   arrived; interval and multiplier MAXDWORD with a constant waits at most the constant for the
//   first byte and returns with what has arrived; otherwise the total time-out is multiplier x
//   count + constant ms (both 0: none) and the interval time-out applies between bytes. A read
//   that has no time-out and nothing that can ever arrive (the far end is idle and no byte is on
//   its way in either direction) returns with what it has rather than waiting forever.
// - PurgeComm with PURGE_RXCLEAR drops the bytes that have arrived; bytes still on the wire arrive
//   later, as on a real line. PURGE_TXCLEAR and PURGE_TXABORT have nothing to cancel: the bytes
//   the transmitter has taken are in its registers, not in a buffer, and still go out.
// - GetCommModemStatus reports MS_RING_ON from the far end's ring indicator.
// - WaitForMultipleObjects: the port is signaled once a byte has arrived; until then it is looked
//   at again at the next thing that can bring one (as a read waits), so a wait on a virtual clock
//   leaps there. An unplugged port never becomes signaled.
// - unplug(): the adapter is gone. Every later call fails and writes are lost, as are the bytes
//   still on their way out and those that had arrived and were not yet read. A read fails once
//   its time-out has passed (at least 1 ms; SetCommTimeouts still takes the values while it
//   fails), so a caller that retries until a tick-count deadline still ends on a virtual clock.
//   The far end may call unplug() from inside its callbacks: a read or write under way then
//   fails with nothing read, and nothing more is sent.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "platform/device.h"
#include "platform/simulated/far_end.h"

namespace platform {

class SimulatedPort final : public Device, private HostLink {
public:
    explicit SimulatedPort(std::shared_ptr<FarEnd> farEnd);
    ~SimulatedPort() override;

    bool getCommState(k32::DCB& dcb) override;
    bool setCommState(const k32::DCB& dcb) override;
    bool getCommTimeouts(k32::COMMTIMEOUTS& timeouts) override;
    bool setCommTimeouts(const k32::COMMTIMEOUTS& timeouts) override;
    bool purge(k32::DWORD flags) override;
    bool read(void* buffer, k32::DWORD count, k32::DWORD& read) override;
    bool write(const void* buffer, k32::DWORD count, k32::DWORD& written) override;
    bool escape(k32::DWORD function) override;
    bool modemStatus(k32::DWORD& status) override;
    bool waitState(WaitState& state) override;

    // What the port looks like from outside, for tests.
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    const k32::DCB& commState() const { return dcb_; }
    const k32::COMMTIMEOUTS& commTimeouts() const { return timeouts_; }
    LineFormat format() const { return hostFormat(); }
    // Bytes that have arrived or are on their way to the host and not yet read.
    std::size_t pendingBytes() const { return rx_.size(); }
    // Bytes the host wrote that have not yet reached the far end (at most two).
    std::size_t bytesInFlight() const { return tx_.size(); }
    // The adapter is gone: every later call fails, reads return nothing, writes are lost.
    void unplug();

    // Called once when the port is destroyed (its handle closed).
    std::function<void()> onClose;

private:
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override;
    LineFormat hostFormat() const override;
    void runFarEndTo(std::uint64_t t);
    void runFarEndToInner(std::uint64_t t);
    void waitUntil(std::uint64_t t);

    std::shared_ptr<FarEnd> farEnd_;
    k32::DCB dcb_{};
    k32::COMMTIMEOUTS timeouts_{};
    bool dtr_ = false;
    bool rts_ = false;
    bool unplugged_ = false;
    int farEndDepth_ = 0;  // how many runFarEndTo calls are under way (the far end may call back)
    struct Outgoing {
        std::uint64_t endNs;  // when its stop bit ends at the far end
        std::uint8_t byte;
        LineFormat format;  // the host's format when it was written
    };
    std::deque<Outgoing> tx_;      // taken by the transmitter, not yet at the far end
    std::uint64_t txStartNs_ = 0;  // when the last byte taken starts on the wire
    std::uint64_t txFreeNs_ = 0;   // when it has left
    std::uint64_t farEndNs_ = 0;
    struct Arrival {
        std::uint64_t timeNs;
        std::uint8_t byte;
    };
    std::deque<Arrival> rx_;
};

}  // namespace platform
