#include "run_timing.h"

#include <cstdio>

namespace bench {
namespace {


// The loader's frame overheads, in bytes.
constexpr unsigned kSyncBytes = 1;       // 0x80 out, before every frame
constexpr unsigned kAckBytes = 1;        // 0x90 back, to the sync byte and to most frames
constexpr unsigned kFrameOverhead = 10;  // header of 8 and checksum of 2
constexpr unsigned kReplyOverhead = 6;   // 0x80, a spare byte, two length bytes, checksum of 2
constexpr unsigned kPasswordBytes = 32;
constexpr unsigned kIdentificationBytes = 12;

// Waits of the run, in milliseconds.
constexpr unsigned kEntryWaitsMs = 100 + 100 + 100 + 250;  // around the TEST pulses
constexpr unsigned kPauseBeforeHeaderMs = 10;              // after every sync acknowledge
constexpr unsigned kFinalResetMs = 50;                     // reset held after programming

// The newer family's packets: 0x80, two length bytes, the core, a CRC of two bytes.
constexpr unsigned kPacketOverhead = 5;
constexpr unsigned kPacketAddress = 3;
constexpr unsigned kPacketLength = 2;
constexpr unsigned kVersionReply = 1 + 4;    // 3A and four version bytes
constexpr unsigned kMessageReply = 1 + 1;    // 3B and the message
constexpr unsigned kWordReply = 1 + 2;       // 3A and a word (device ID, buffer size, CRC)

class Tally {
public:
    explicit Tally(IdealRun& run) : run_(run) {}
    void setBaud(std::uint32_t baud) { baud_ = baud; }
    void wait(unsigned ms) { run_.waitMs += ms; }
    // One exchange: sync and its acknowledge, the pause, the frame with `data` bytes, then an
    // answer of `answer` bytes.
    void exchange(unsigned data, unsigned answer) {
        const unsigned out = kSyncBytes + kFrameOverhead + data;
        const unsigned back = kAckBytes + answer;
        ++run_.exchanges;
        run_.hostBytes += out;
        run_.targetBytes += back;
        run_.wireNs += (out + back) * characterNs(baud_);
        wait(kPauseBeforeHeaderMs);
    }

    // One packet of `core` bytes out, its acknowledge, and a reply packet with a core of `reply`
    // bytes unless that is 0.
    void packet(unsigned core, unsigned reply) {
        const unsigned out = kPacketOverhead + core;
        const unsigned back = kAckBytes + (reply ? kPacketOverhead + reply : 0);
        ++run_.exchanges;
        run_.hostBytes += out;
        run_.targetBytes += back;
        run_.wireNs += (out + back) * characterNs(baud_);
    }

private:
    IdealRun& run_;
    std::uint32_t baud_ = 9600;
};

}  // namespace

double characterNs(std::uint32_t baud) { return 11.0 * 1e9 / baud; }

Cells randomImage(std::uint32_t first, std::uint32_t last, std::uint32_t seed) {
    Cells cells(0x10000, -1);
    std::uint32_t x = seed ? seed : 1;
    for (std::uint32_t a = first; a <= last && a < 0x10000; ++a) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        cells[a] = static_cast<int>(x >> 24);
    }
    return cells;
}

std::string intelHexText(const Cells& cells) {
    std::string text;
    char field[8];
    std::uint32_t a = 0;
    while (a < cells.size()) {
        if (cells[a] < 0) {
            ++a;
            continue;
        }
        unsigned n = 0;
        while (n < 16 && a + n < cells.size() && cells[a + n] >= 0) ++n;
        unsigned sum = n + (a >> 8) + (a & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X", n, static_cast<unsigned>(a));
        text += field;
        text += "00";
        for (unsigned i = 0; i < n; ++i) {
            std::snprintf(field, sizeof field, "%02X", static_cast<unsigned>(cells[a + i]));
            text += field;
            sum += static_cast<unsigned>(cells[a + i]);
        }
        std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
        a += n;
    }
    return text + ":00000001FF\n";
}

std::vector<Block> formBlocks(const Cells& cells, std::uint32_t scanLimit, unsigned maxBlock) {
    std::vector<Block> blocks;
    auto filled = [&](std::uint32_t a) { return a < cells.size() && cells[a] >= 0; };
    std::uint32_t a = 0;
    for (;;) {
        while (a < scanLimit && !filled(a)) ++a;
        if (a >= scanLimit) return blocks;
        unsigned n = (a & 1) ? 1 : 0;  // filler for the empty cell below an odd start
        do {
            ++a;
            ++n;
        } while (n < maxBlock && a < scanLimit && filled(a));
        if (n & 1) {  // filler for the empty cell above
            ++a;
            ++n;
        }
        blocks.push_back({static_cast<std::uint16_t>(a - n), n});
    }
}

IdealRun idealRun(const Cells& cells, bool slow) {
    IdealRun run;
    Tally tally(run);
    tally.setBaud(9600);
    tally.wait(kEntryWaitsMs);
    tally.exchange(0, kAckBytes);                              // Mass erase
    tally.exchange(kPasswordBytes, kAckBytes);                 // RX password
    tally.exchange(0, kReplyOverhead + kIdentificationBytes);  // identification
    if (!slow) {
        tally.exchange(0, kAckBytes);  // Change baud rate, acknowledged at the old speed
        tally.setBaud(38400);
    }
    const std::vector<Block> blocks = formBlocks(cells, 0x10000);
    for (const Block& b : blocks) tally.exchange(b.length, kAckBytes);           // write pass
    for (const Block& b : blocks) tally.exchange(0, kReplyOverhead + b.length);  // verify pass
    tally.wait(kFinalResetMs);
    return run;
}

IdealRun idealPacketRun(const Cells& cells, unsigned bufferBytes) {
    IdealRun run;
    Tally tally(run);
    tally.setBaud(9600);
    tally.wait(kEntryWaitsMs);
    tally.packet(1, kMessageReply);                                // version, refused: locked
    tally.packet(1 + kPasswordBytes, kMessageReply);               // RX password
    tally.packet(1, kVersionReply);                                // version: flash or FRAM
    tally.packet(1, kMessageReply);                                // mass erase
    tally.packet(1 + kPasswordBytes, kMessageReply);               // RX password again
    tally.packet(1 + kPacketAddress + kPacketLength, kWordReply);  // device ID
    tally.packet(1, kWordReply);                                   // buffer size
    tally.packet(2, 0);                                            // change baud rate
    tally.setBaud(115200);
    const unsigned maxBlock = (bufferBytes - 1 - kPacketAddress) & ~1u;
    const std::vector<Block> blocks = formBlocks(cells, 0x10000, maxBlock);
    for (const Block& b : blocks) {
        tally.packet(1 + kPacketAddress + b.length, kMessageReply);     // RX data block
        tally.packet(1 + kPacketAddress + kPacketLength, kWordReply);  // CRC check
    }
    for (const Block& b : blocks)
        tally.packet(1 + kPacketAddress + kPacketLength, 1 + b.length);  // TX data block
    tally.wait(kFinalResetMs);
    return run;
}

}  // namespace bench
