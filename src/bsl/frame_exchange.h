// One framed exchange with the target's bootstrap loader: synchronisation, header, data and
// checksum out; acknowledge or data reply back.
#pragma once

#include <cstdint>

enum BslResult : int {
    kBslOk = 0,
    kBslNoSync = 1,         // no acknowledge to the synchronisation byte in three attempts
    kBslBadAnswer = 2,      // after the frame the first byte was neither 0x90 nor 0x80
    kBslLengthMismatch = 3  // the two length bytes of a data reply differ
};

constexpr std::uint8_t kBslSync = 0x80;
constexpr std::uint8_t kBslAck = 0x90;

// Data bytes of the last data reply, then its two checksum bytes. 256 bytes as the program uses
// it, plus room for the checksum of a reply that announces 255 data bytes.
constexpr int kReplyBufferSize = 256;
extern thread_local std::uint8_t ReplyBuffer[kReplyBufferSize + 1];

// The 8-byte header of the frame sent last.
extern thread_local std::uint8_t frameHeader[8];

int bslExchange(std::uint8_t command, std::uint8_t frameLength, std::uint16_t address,
                std::uint16_t lengthField, const std::uint8_t* data);
