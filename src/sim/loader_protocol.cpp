#include "sim/loader_protocol.h"

namespace sim {

const char* commandName(std::uint8_t c) {
    switch (c) {
        case kCmdRxPassword: return "RX password";
        case kCmdRxDataBlock: return "RX data block";
        case kCmdTxDataBlock: return "TX data block";
        case kCmdMassErase: return "Mass erase";
        case kCmdLoadPc: return "Load PC";
        case kCmdChangeBaud: return "Change baud rate";
        case kCmdTxVersion: return "TX BSL version";
        default: return "unknown command";
    }
}

std::uint16_t frameChecksum(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t even = 0, odd = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i & 1)
            odd ^= bytes[i];
        else
            even ^= bytes[i];
    }
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(~even) |
                                      (static_cast<std::uint8_t>(~odd) << 8));
}

}  // namespace sim
