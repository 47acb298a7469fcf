// A serial line's character format and how long one character takes on the wire.
#pragma once

#include <cstdint>

#include "platform/kernel32.h"

namespace platform {

struct LineFormat {
    std::uint32_t baud = 9600;
    std::uint8_t dataBits = 8;
    std::uint8_t parity = k32::NOPARITY;      // k32 parity code
    std::uint8_t stopBits = k32::ONESTOPBIT;  // k32 stop-bit code

    // Bits of one character: start bit, data bits, parity bit when used, stop bits.
    unsigned bitsPerCharacter() const {
        unsigned bits = 1u + dataBits + (parity != k32::NOPARITY ? 1u : 0u);
        bits += stopBits == k32::TWOSTOPBITS ? 2u : 1u;  // 1.5 stop bits rounds up to 2 below
        if (stopBits == k32::ONE5STOPBITS) bits += 1u;
        return bits;
    }
    // Nanoseconds one character occupies on the wire.
    std::uint64_t characterNs() const {
        if (baud == 0) return 0;
        return (static_cast<std::uint64_t>(bitsPerCharacter()) * 1000000000ull + baud - 1) / baud;
    }
    bool operator==(const LineFormat&) const = default;
};

}  // namespace platform
