// The packets of the newer loaders (F5xx, F6xx, FR5xx, FR6xx, FR2xx, FR4xx): 0x80, the core's
// length (two bytes, low first), the core, and the core's CRC-16 (low byte first). The chip
// answers every packet with one acknowledge byte and, when the command has a reply, follows it
// with a packet of the same form.
#pragma once

#include <cstdint>

#include "serial/run_state.h"  // packetReply, packetReplyLength

// The result of one exchange: the same small numbers the classic frames give (1 to 3), so that a
// failing step has the same error number whichever loader the chip carries.
enum PacketResult : int {
    kPacketOk = 0,
    kPacketNoAnswer = 1,  // no acknowledge, or no reply where one was due
    kPacketRefused = 2,   // an acknowledge other than 0x00, or a message other than "done"
    kPacketMalformed = 3  // a reply that is not a well-formed packet
};

constexpr std::uint8_t kPacketHeader = 0x80;
constexpr std::uint8_t kPacketAccepted = 0x00;
// Bytes a packet adds to its core: the header, two length bytes, two CRC bytes.
constexpr int kPacketOverhead = 5;

// CRC-16 with the polynomial 0x1021, starting at 0xFFFF, unreflected, without a final XOR: the
// packets' checksum, and the value the chip's CRC check computes over its memory.
std::uint16_t packetCrc(const std::uint8_t* bytes, int count);

// Writes the packet that carries `core` into `packet` (room for length + kPacketOverhead bytes)
// and returns its length.
int framePacket(const std::uint8_t* core, int length, std::uint8_t* packet);

// Sends `core` as a packet and takes the chip's acknowledge, waiting at most `ackMs` for it.
int sendPacket(const std::uint8_t* core, int length, std::uint32_t ackMs);

// Takes a reply packet, its first byte within `firstByteMs`, its core into packetReply. No reply
// at all is kPacketNoAnswer without a word (some commands may have none); a broken one is
// kPacketMalformed with its reason.
int receivePacket(std::uint32_t firstByteMs);

// What an acknowledge byte or a message code means, in words ("checksum wrong"), for the reason a
// failed step gives on standard error.
const char* acknowledgeMeaning(int code);
const char* messageMeaning(int code);
