// The bootstrap loader's bytes on the line: synchronisation and answers, command codes, and the
// checksum that closes every frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Protocol bytes and command codes of the bootstrap loader.
constexpr std::uint8_t kSync = 0x80;
constexpr std::uint8_t kAck = 0x90;
constexpr std::uint8_t kNack = 0xA0;
constexpr std::uint8_t kCmdRxPassword = 0x10;
constexpr std::uint8_t kCmdRxDataBlock = 0x12;
constexpr std::uint8_t kCmdTxDataBlock = 0x14;
constexpr std::uint8_t kCmdMassErase = 0x18;
constexpr std::uint8_t kCmdLoadPc = 0x1A;
constexpr std::uint8_t kCmdTxVersion = 0x1E;
constexpr std::uint8_t kCmdChangeBaud = 0x20;

// What an answer fault or a count refers to: a command code (0..255), every synchronisation byte
// the loader acknowledges, or every well-formed frame whatever its command.
constexpr int kKindSync = 0x100;
constexpr int kKindAnyCommand = 0x101;

// The command's name as the trace shows it ("unknown command" for a code the loader lacks).
const char* commandName(std::uint8_t command);

// The loader's frame checksum: the low byte is the complement of the XOR of the bytes at even
// positions, the high byte that of the bytes at odd positions (an odd count, as in a reply to a
// read of an odd number of bytes, leaves its last byte in the low half).
std::uint16_t frameChecksum(const std::uint8_t* bytes, std::size_t count);

}  // namespace sim
