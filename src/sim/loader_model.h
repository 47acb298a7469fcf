// A chip's ROM loader as a model behind the chip's serial line. The chip (SimTarget) owns the
// lines, the UART formats, the wire timing and the order of scheduled work; the loader model owns
// what a loader family does with the bytes it hears: its frames, its commands, its state and its
// answers. One model a loader family: classic_loader.h is the F1xx/F2xx/F4xx loader,
// newer_loader.h the F5xx/F6xx/FR5xx/FR6xx/FR2xx one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/line_format.h"

namespace sim {

// The chip's side as a loader model sees it.
class LoaderLine {
public:
    virtual ~LoaderLine() = default;
    // Queues bytes back to back from time t on; returns when the last one's stop bit ends.
    virtual std::uint64_t send(std::uint64_t t, const std::vector<std::uint8_t>& bytes) = 0;
    virtual void note(std::uint64_t t, const std::string& text) = 0;
    // The time the chip has reached (the model's work may be stamped later than that).
    virtual std::uint64_t now() const = 0;
    // Calls the model's timer(at, what, arg) at `at`, in order with the chip's other work; a reset
    // or a restarted loader cancels it.
    virtual void setTimer(std::uint64_t at, int what, std::uint64_t arg = 0) = 0;
    // What the chip does when the loader lets go, each at time `at`: the line to a new speed, the
    // ROM loader started again (locked), a loader loaded into RAM started, or the CPU sent to
    // `address`.
    virtual void changeBaud(std::uint64_t at, std::uint32_t baud) = 0;
    virtual void restartLoader(std::uint64_t at) = 0;
    virtual void startLoaderInRam(std::uint64_t at) = 0;
    virtual void leaveLoader(std::uint64_t at, std::uint32_t address) = 0;
};

// One loader family's behaviour.
class LoaderModel {
public:
    virtual ~LoaderModel() = default;
    // The format the loader listens and answers in when it starts.
    virtual platform::LineFormat lineFormat() const = 0;
    // The loader starts listening: the ROM one, or (replacement) one loaded into RAM.
    virtual void start(std::uint64_t t, bool replacement) = 0;
    // A partly received command is dropped (the chip's pending work was cancelled).
    virtual void abandonReception() = 0;
    // The chip is held in reset: whatever ran is gone.
    virtual void reset() = 0;
    // A byte the chip's UART received while the loader is ready.
    virtual void receive(std::uint64_t t, std::uint8_t byte) = 0;
    // A timer set through LoaderLine::setTimer is due.
    virtual void timer(std::uint64_t t, int what, std::uint64_t arg) = 0;

    // How the chip starts this loader: false, the classic rule (after a long enough TEST rest,
    // exactly two TEST pulses while RST is low, RST released in the second); true, the newer
    // families' rule (at least two rising TEST edges while RST is low, TEST high when RST rises).
    virtual bool entryOnRisingEdges() const { return false; }
    // Whether the chip's firmware runs when the loader is left or the chip is reset normally.
    virtual bool runsFirmware() const { return true; }

    virtual bool locked() const = 0;
    virtual bool replacementRunning() const = 0;
    // Well-formed commands of a kind (a command code, or a kind of the family's own) so far.
    virtual unsigned commandCount(int kind) const = 0;
};

}  // namespace sim
