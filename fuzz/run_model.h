// The programming run's conversation as the fuzz target sees it, and what it must lead to: the
// bytes of the call log gathered into exchanges (synchronisation, frame, answer), walked along the
// run's order to the outcome each fitting course of the run calls for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kit/call_log.h"

namespace runmodel {

enum OptionBits : std::uint8_t { kVerify = 1, kSlow = 2, kTestMode = 4, kLoaderFile = 8 };

struct Block {
    std::uint16_t address;
    std::vector<std::uint8_t> bytes;
};

// The images the run sends, as the blocks they form (even start, even length).
inline const std::vector<Block> kFirmwareBlocks = {{0xF000, {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40}},
                                                   {0xFFFE, {0x00, 0xF0}}};
inline const std::vector<Block> kLoaderBlocks = {{0x0220, {0x22, 0x02, 0x3F, 0x40, 0x00, 0x00}}};
constexpr std::uint16_t kLoaderEntry = 0x0222;

struct Event {
    bool write;
    int value;  // the byte; for a read -1 when it timed out
};

// The single-byte writes and reads of the call log, in order.
std::vector<Event> conversation(const platform::CallLog& log);

struct Exchange {
    int result = 0;  // 0 done, 1 no synchronisation, 2 wrong answer, 3 lengths differ, -1 cut off
    std::uint8_t command = 0;
    std::uint16_t address = 0;
    std::uint16_t lengthField = 0;
    std::vector<std::uint8_t> data;
    int answer = -1;  // the first byte after the frame (0x90, 0x80, 0xA0, ...); -1: none came
    bool dataReply = false;
    int replyLength = 0;
    std::vector<std::uint8_t> reply;  // data bytes then checksum, time-outs as 0xFF
};

// Splits the conversation into exchanges; any byte out of place is a fault of the host.
std::vector<Exchange> exchanges(const std::vector<Event>& events, int& reads, int& writes);

// Every outcome that fits the exchanges, over all the open choices.
std::vector<int> expectedOutcomes(const std::vector<Exchange>& list, std::uint8_t options);

// Fails unless `elapsedNs` stays within every wait the conversation allowed: each single-byte read
// its time-out (100 ms plus a tick of rounding, and a second for the first answer to a frame),
// each byte written its time on the wire at 9600 Bd (or faster), each frame its 10 ms pause, the
// entry sequence and the final reset hold.
void checkTime(std::uint64_t elapsedNs, const std::vector<Exchange>& list, int reads, int writes);

// The run's reported outcome: 0 for "Test OK", the number of the error box, -1 for neither.
int reportedOutcome(const std::string& output);

}  // namespace runmodel
