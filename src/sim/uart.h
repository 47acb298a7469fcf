// How a character crosses the line between two UARTs that may disagree about the format.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/line_format.h"

namespace sim {

// Decodes one character sent in format `tx` by a receiver set to `rx`: with equal formats it is
// the byte itself; otherwise the receiver samples the sender's waveform (start bit, data bits LSB
// first, parity bit, stop bits, then idle line) at the middle of each of its own bit times, from
// the falling edge of the start bit. A start bit that is not low, a stop bit that is not high
// (framing error) or a wrong parity bit loses the character. Every character is decoded on its own.
std::optional<std::uint8_t> decodeCharacter(std::uint8_t byte, const platform::LineFormat& tx,
                                            const platform::LineFormat& rx);

}  // namespace sim
