// One framed exchange with the target's bootstrap loader: synchronisation, header, data and
// checksum out; acknowledge or data reply back.
#pragma once

#include <cstdint>

#include "serial/run_state.h"  // ReplyBuffer, frameHeader

enum BslResult : int {
    kBslOk = 0,
    kBslNoSync = 1,         // no acknowledge to the synchronisation byte in three attempts
    kBslBadAnswer = 2,      // after the frame the first byte was neither 0x90 nor 0x80
    kBslLengthMismatch = 3  // the two length bytes of a data reply differ
};

constexpr std::uint8_t kBslSync = 0x80;
constexpr std::uint8_t kBslAck = 0x90;
constexpr std::uint8_t kBslNak = 0xA0;

int bslExchange(std::uint8_t command, std::uint8_t frameLength, std::uint16_t address,
                std::uint16_t lengthField, const std::uint8_t* data);
