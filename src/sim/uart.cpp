#include "sim/uart.h"

#include <vector>

namespace sim {

std::optional<std::uint8_t> decodeCharacter(std::uint8_t byte, const platform::LineFormat& tx,
                                            const platform::LineFormat& rx) {
    if (tx == rx) return byte;
    if (tx.baud == 0 || rx.baud == 0) return std::nullopt;

    // The sender's levels, bit by bit; after them the line idles high.
    std::vector<int> levels;
    levels.push_back(0);
    int ones = 0;
    for (unsigned i = 0; i < tx.dataBits; ++i) {
        int bit = (byte >> i) & 1;
        ones += bit;
        levels.push_back(bit);
    }
    switch (tx.parity) {
        case k32::EVENPARITY: levels.push_back(ones & 1); break;
        case k32::ODDPARITY: levels.push_back((ones & 1) ^ 1); break;
        case k32::MARKPARITY: levels.push_back(1); break;
        case k32::SPACEPARITY: levels.push_back(0); break;
        default: break;
    }
    // The middle of the receiver's bit i lies in the sender's bit (2i + 1) * txBaud / (2 * rxBaud).
    auto sample = [&](unsigned i) {
        std::uint64_t index = (2ull * i + 1) * tx.baud / (2ull * rx.baud);
        return index < levels.size() ? levels[index] : 1;
    };

    if (sample(0) != 0) return std::nullopt;
    unsigned position = 1;
    unsigned value = 0;
    int received = 0;
    for (unsigned i = 0; i < rx.dataBits; ++i, ++position) {
        int bit = sample(position);
        received += bit;
        value |= static_cast<unsigned>(bit) << i;
    }
    if (rx.parity != k32::NOPARITY) {
        int bit = sample(position++);
        int expected = 0;
        switch (rx.parity) {
            case k32::EVENPARITY: expected = received & 1; break;
            case k32::ODDPARITY: expected = (received & 1) ^ 1; break;
            case k32::MARKPARITY: expected = 1; break;
            default: expected = 0; break;
        }
        if (bit != expected) return std::nullopt;  // parity error
    }
    if (sample(position) != 1) return std::nullopt;  // framing error
    return static_cast<std::uint8_t>(value);
}

}  // namespace sim
