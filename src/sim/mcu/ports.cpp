// Ports P1-P6. A pin's level is what drives it: the output latch for an output pin, Timer_A or
// Timer_B for a pin that PxSEL gives one of its outputs, the board (or a bench's stimulus) for an
// input pin. A change of a plain output pin's level is traced, so that a blinking LED shows; every
// change is reported to the board, edges on P1 and P2 set their interrupt flags as PxIES
// selects, and the timers' capture inputs (on P1, P2 and P4) see every change.
#include <cstdio>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

// Register addresses by port: IN, OUT, DIR, SEL (P1 and P2 have IFG, IES, IE between DIR and SEL).
struct PortRegisters {
    std::uint16_t in, out, dir, sel, ifg, ies, ie;
};
constexpr PortRegisters kPorts[6] = {
    {0x20, 0x21, 0x22, 0x26, 0x23, 0x24, 0x25}, {0x28, 0x29, 0x2A, 0x2E, 0x2B, 0x2C, 0x2D},
    {0x18, 0x19, 0x1A, 0x1B, 0, 0, 0},          {0x1C, 0x1D, 0x1E, 0x1F, 0, 0, 0},
    {0x30, 0x31, 0x32, 0x33, 0, 0, 0},          {0x34, 0x35, 0x36, 0x37, 0, 0, 0},
};

// Which Timer_A output each pin of P1 and P2 carries when selected as an output (-1: none):
// TA0 on P1.1, P1.5 and P2.7, TA1 on P1.2, P1.6 and P2.3, TA2 on P1.3, P1.7 and P2.4.
constexpr int kTimerOutput[2][8] = {{-1, 0, 1, 2, -1, 0, 1, 2}, {-1, -1, -1, 1, 2, -1, -1, 0}};

}  // namespace

void Ports::reset(bool powerOn) {
    for (int i = 0; i < 6; ++i) {
        dir_[i] = sel_[i] = 0;
        if (powerOn) out_[i] = 0;
    }
    for (int i = 0; i < 2; ++i) {
        ifg_[i] = ie_[i] = 0;
        if (powerOn) ies_[i] = 0;
    }
    for (int port = 1; port <= 6; ++port) update(port, false);
}

std::uint8_t Ports::timerPins(int port) const {
    if (port == 4)  // TB0-TB6 on P4.0-P4.6, on the chips with a Timer_B
        return mcu_.timerB() ? static_cast<std::uint8_t>(sel_[3] & dir_[3] & 0x7F) : 0;
    if (port > 2) return 0;
    std::uint8_t pins = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (kTimerOutput[port - 1][bit] >= 0) pins |= static_cast<std::uint8_t>(1u << bit);
    return static_cast<std::uint8_t>(pins & sel_[port - 1] & dir_[port - 1]);
}

bool Ports::timerOutputRouted(int block) const {
    for (int port = 1; port <= 2; ++port)
        for (int bit = 0; bit < 8; ++bit)
            if (kTimerOutput[port - 1][bit] == block && (timerPins(port) >> bit) & 1) return true;
    return false;
}

bool Ports::timerBOutputRouted(int block) const { return (timerPins(4) >> block) & 1; }

std::uint8_t Ports::levels(int port) const {
    const int p = port - 1;
    const std::uint8_t timer = timerPins(port);
    std::uint8_t level =
        static_cast<std::uint8_t>((out_[p] & dir_[p] & ~timer) | (input_[p] & ~dir_[p]));
    for (int bit = 0; bit < 8; ++bit) {
        if (!((timer >> bit) & 1)) continue;
        const bool high =
            port == 4 ? mcu_.timerB()->output(bit) : mcu_.timerA().output(kTimerOutput[p][bit]);
        if (high) level |= static_cast<std::uint8_t>(1u << bit);
    }
    return level;
}

std::uint16_t Ports::read(std::uint16_t address, bool) {
    for (int p = 0; p < 6; ++p) {
        const PortRegisters& r = kPorts[p];
        if (address == r.in) return levels(p + 1);
        if (address == r.out) return out_[p];
        if (address == r.dir) return dir_[p];
        if (address == r.sel) return sel_[p];
        if (p < 2 && address == r.ifg) return ifg_[p];
        if (p < 2 && address == r.ies) return ies_[p];
        if (p < 2 && address == r.ie) return ie_[p];
    }
    return 0;
}

void Ports::write(std::uint16_t address, std::uint16_t value, bool) {
    const auto v = static_cast<std::uint8_t>(value);
    for (int p = 0; p < 6; ++p) {
        const PortRegisters& r = kPorts[p];
        if (address == r.out) {
            out_[p] = v;
        } else if (address == r.dir || address == r.sel) {
            // A timer catches up under the old routing before its outputs reach other pins.
            if (p < 2) mcu_.timerA().catchUp();
            if (p == 3 && mcu_.timerB()) mcu_.timerB()->catchUp();
            (address == r.dir ? dir_ : sel_)[p] = v;
            if (p == 2 && address == r.sel) mcu_.usartFormatChanged(0), mcu_.usartFormatChanged(1);
        } else if (p < 2 && address == r.ifg) {
            ifg_[p] = v;
        } else if (p < 2 && address == r.ies) {
            ies_[p] = v;
        } else if (p < 2 && address == r.ie) {
            ie_[p] = v;
        } else {
            continue;  // PxIN is read-only
        }
        update(p + 1, true);
        return;
    }
}

void Ports::drive(int port, int bit, bool high) {
    const auto m = static_cast<std::uint8_t>(1u << bit);
    input_[port - 1] =
        static_cast<std::uint8_t>(high ? input_[port - 1] | m : input_[port - 1] & ~m);
    update(port, true);
}

bool Ports::input(int port, int bit) const { return (levels(port) >> bit) & 1; }

void Ports::update(int port, bool edges) {
    const std::uint8_t before = shown_[port - 1];
    const std::uint8_t after = levels(port);
    const std::uint8_t changed = before ^ after;
    if (!changed) return;
    shown_[port - 1] = after;
    if (port <= 2 && edges) {
        const std::uint8_t ies = ies_[port - 1];
        const std::uint8_t rising = changed & after & ~ies;
        const std::uint8_t falling = changed & before & ies;
        ifg_[port - 1] |= rising | falling;
        if (rising | falling) mcu_.requestsChanged();
    }
    const std::uint8_t traced = static_cast<std::uint8_t>(dir_[port - 1] & ~sel_[port - 1]);
    for (int bit = 0; bit < 8 && edges; ++bit) {
        const std::uint8_t m = static_cast<std::uint8_t>(1u << bit);
        if (!(changed & m) || !(traced & m)) continue;
        char text[32];
        std::snprintf(text, sizeof text, "P%d.%d %s", port, bit, (after & m) ? "high" : "low");
        mcu_.note(text);
    }
    mcu_.pinsChanged(port, after);
    if (port <= 2 && edges) mcu_.timerA().inputsChanged();
    if (port == 4 && edges && mcu_.timerB()) mcu_.timerB()->inputsChanged();
}

std::uint16_t Ports::requests() const {
    std::uint16_t r = 0;
    if (ifg_[0] & ie_[0]) r |= 1u << kVecPort1;
    if (ifg_[1] & ie_[1]) r |= 1u << kVecPort2;
    return r;
}

}  // namespace sim::mcu
