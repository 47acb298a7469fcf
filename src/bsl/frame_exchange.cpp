#include "bsl/frame_exchange.h"

#include <cstdio>

#include "platform/kernel32.h"
#include "platform/run_output.h"
#include "serial/serial_port.h"

namespace {

constexpr int kSyncAttempts = 3;
constexpr std::uint32_t kSyncAnswerMs = 100;
constexpr std::uint32_t kPauseBeforeHeaderMs = 10;
constexpr std::uint32_t kFrameAnswerMs = 1000;
constexpr std::uint32_t kReplyByteMs = 100;

std::uint16_t littleEndianWord(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

int bslExchange(std::uint8_t command, std::uint8_t frameLength, std::uint16_t address,
                std::uint16_t lengthField, const std::uint8_t* data) {
    runNoteCommand(command, address, lengthField);
    lastFrameAnswer = -1;
    // The loader answers a lone 0x80 with its acknowledge when it is ready for a frame.
    for (int attempt = 1;; ++attempt) {
        const std::uint8_t sync = kBslSync;
        writeBytes(&sync, 1);
        int answer = readByte(kSyncAnswerMs);
        if (answer == kBslAck) break;
        runPrintf("#Unknown ACK! (%02X)\n", answer);
        if (attempt == kSyncAttempts) return kBslNoSync;
    }
    k32::Sleep(kPauseBeforeHeaderMs);

    frameHeader[0] = kBslSync;
    frameHeader[1] = command;
    frameHeader[2] = frameLength;
    frameHeader[3] = frameLength;
    frameHeader[4] = static_cast<std::uint8_t>(address & 0xFF);
    frameHeader[5] = static_cast<std::uint8_t>(address >> 8);
    frameHeader[6] = static_cast<std::uint8_t>(lengthField & 0xFF);
    frameHeader[7] = static_cast<std::uint8_t>(lengthField >> 8);
    writeBytes(frameHeader, 8);
    if (data != nullptr) writeBytes(data, lengthField);

    // XOR of all 16-bit little-endian words of header and data, complemented.
    std::uint16_t checksum = 0xFFFF;
    for (int i = 0; i < 8; i += 2) checksum ^= littleEndianWord(frameHeader + i);
    if (data != nullptr)
        for (int i = 0; i < lengthField / 2; ++i) checksum ^= littleEndianWord(data + 2 * i);
    const std::uint8_t checksumBytes[2] = {static_cast<std::uint8_t>(checksum & 0xFF),
                                           static_cast<std::uint8_t>(checksum >> 8)};
    writeBytes(checksumBytes, 2);

    int answer = readByte(kFrameAnswerMs);
    lastFrameAnswer = answer;
    if (answer == kBslAck) return kBslOk;
    if (answer != kBslSync) {
        runPrintf("#Unknown ACK! (%02X)\n", answer);
        return kBslBadAnswer;
    }

    // A data reply: a byte of no interest, the length twice, the data, the checksum.
    readByte(kReplyByteMs);
    int length1 = readByte(kReplyByteMs);
    int length2 = readByte(kReplyByteMs);
    if (length1 != length2) return kBslLengthMismatch;
    lastReplyLength = length1;
    // At most 255 data bytes and two checksum bytes: ReplyBuffer holds all of them.
    for (int i = 0; i < length1 + 2; ++i)
        ReplyBuffer[i] = static_cast<std::uint8_t>(readByte(kReplyByteMs));
    return kBslOk;
}
