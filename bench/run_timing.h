// What a programming run must cost at the least: the wire time of every byte the loader protocol
// exchanges plus the waits the protocol prescribes. Worked out from the image alone, with the
// blocks formed as the download forms them, not from anything a run recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One cell per byte address: -1 empty, otherwise the byte.
using Cells = std::vector<int>;

// Cells filled from `first` to `last` (inclusive) with pseudo-random bytes from `seed`.
Cells randomImage(std::uint32_t first, std::uint32_t last, std::uint32_t seed);

// Intel HEX text of the filled cells: data records of up to 16 bytes, then the end record.
std::string intelHexText(const Cells& cells);

struct Block {
    std::uint16_t start;
    unsigned length;
};

// The blocks the download sends for an image: up to `maxBlock` bytes (240 for the classic loader),
// even start and even length, an empty neighbour cell standing in as filler where a run begins or
// ends on an odd address.
std::vector<Block> formBlocks(const Cells& cells, std::uint32_t scanLimit,
                              unsigned maxBlock = 240);

// The protocol's own cost of a run, in characters on the wire and in prescribed waits.
struct IdealRun {
    unsigned exchanges = 0;
    std::uint64_t hostBytes = 0;    // synchronisation bytes and frames
    std::uint64_t targetBytes = 0;  // acknowledges and data replies
    std::uint64_t waitMs = 0;       // entry sequence, pause before each header, final reset
    double wireNs = 0;              // every character of both directions, one after the other

    double totalNs() const { return wireNs + static_cast<double>(waitMs) * 1e6; }
};

// A run of the firmware `cells` with read-back against a loader that needs no upgrade (any
// version but 1.10): entry sequence, Mass erase, RX password, identification, Change baud rate
// unless `slow`, the write pass, the verify pass, the final reset.
IdealRun idealRun(const Cells& cells, bool slow);

// The same run against a loader of the newer family with a buffer of `bufferBytes` (command,
// address and data of one packet), at 115200 Bd: entry sequence, version (refused by the locked
// loader, which tells its family), the erased-device password, version, mass erase, the password
// again, device ID, buffer size, change baud rate, then each block written and checked by its
// CRC, each block read back, the final reset. Every packet is `80 NL NH core CKL CKH` and answered
// by one acknowledge byte, a reply packet of the same form following where the command has one;
// the family prescribes no pause between packets.
IdealRun idealPacketRun(const Cells& cells, unsigned bufferBytes);

// Nanoseconds of one character of 8 data bits, even parity and one stop bit (11 bits in all).
double characterNs(std::uint32_t baud);

}  // namespace bench
