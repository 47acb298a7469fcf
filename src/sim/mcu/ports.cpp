// Ports P1-P6. A change of an output pin's level is traced, so that a blinking LED shows; edges
// on P1 and P2 set their interrupt flags as PxIES selects.
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
}

std::uint8_t Ports::levels(int port) const {
    const std::uint8_t idle = port == 3 ? 0xA0 : 0x00;  // P3.5 and P3.7 receive: idle high
    return static_cast<std::uint8_t>((out_[port - 1] & dir_[port - 1]) | (idle & ~dir_[port - 1]));
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
        const std::uint8_t before = levels(p + 1);
        if (address == r.out) {
            out_[p] = v;
        } else if (address == r.dir) {
            dir_[p] = v;
        } else if (address == r.sel) {
            sel_[p] = v;
            if (p == 2) mcu_.usartFormatChanged(0), mcu_.usartFormatChanged(1);
        } else if (p < 2 && address == r.ifg) {
            ifg_[p] = v;
        } else if (p < 2 && address == r.ies) {
            ies_[p] = v;
        } else if (p < 2 && address == r.ie) {
            ie_[p] = v;
        } else {
            continue;  // PxIN is read-only
        }
        pinsChanged(p + 1, before);
        return;
    }
}

void Ports::pinsChanged(int port, std::uint8_t before) {
    const std::uint8_t after = levels(port);
    const std::uint8_t changed = before ^ after;
    if (!changed) return;
    if (port <= 2) {
        const std::uint8_t ies = ies_[port - 1];
        const std::uint8_t rising = changed & after & ~ies;
        const std::uint8_t falling = changed & before & ies;
        ifg_[port - 1] |= rising | falling;
    }
    for (int bit = 0; bit < 8; ++bit) {
        const std::uint8_t m = static_cast<std::uint8_t>(1u << bit);
        if (!(changed & m) || !(dir_[port - 1] & m) || (sel_[port - 1] & m)) continue;
        char text[32];
        std::snprintf(text, sizeof text, "P%d.%d %s", port, bit, (after & m) ? "high" : "low");
        mcu_.note(text);
    }
}

std::uint16_t Ports::requests() const {
    std::uint16_t r = 0;
    if (ifg_[0] & ie_[0]) r |= 1u << kVecPort1;
    if (ifg_[1] & ie_[1]) r |= 1u << kVecPort2;
    return r;
}

}  // namespace sim::mcu
