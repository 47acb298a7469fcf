// The newer loaders' commands as the run issues them: each builds its core (command, address of
// three bytes and length of two, low byte first, data) and takes the answer the command has.
#pragma once

#include <cstdint>

constexpr std::uint8_t kCoreRxDataBlock = 0x10;
constexpr std::uint8_t kCoreRxPassword = 0x11;
constexpr std::uint8_t kCoreMassErase = 0x15;
constexpr std::uint8_t kCoreCrcCheck = 0x16;
constexpr std::uint8_t kCoreLoadPc = 0x17;
constexpr std::uint8_t kCoreTxDataBlock = 0x18;
constexpr std::uint8_t kCoreTxVersion = 0x19;
constexpr std::uint8_t kCoreTxBufferSize = 0x1A;
constexpr std::uint8_t kCoreChangeBaudRate = 0x52;

// The first byte of a reply's core: data follow, or a one-byte message.
constexpr std::uint8_t kReplyData = 0x3A;
constexpr std::uint8_t kReplyMessage = 0x3B;

constexpr std::uint8_t kMessageDone = 0x00;
constexpr std::uint8_t kMessageLocked = 0x04;
constexpr std::uint8_t kMessageWrongPassword = 0x05;
constexpr std::uint8_t kMessageUnknownCommand = 0x07;

constexpr std::uint8_t kBaudCode115200 = 0x06;

// What a command waits for after the acknowledge.
enum class PacketReply { None, Message, Data };

// Sends the command's core and takes its acknowledge.
int packetRequest(std::uint8_t command, bool withAddress, std::uint32_t address, bool withLength,
                  std::uint16_t length, const std::uint8_t* data, int dataLength);
// Takes the reply to `command` and checks its kind (see packetCommand).
int packetAnswer(std::uint8_t command, PacketReply reply, std::uint32_t replyMs);

// Sends the command's core and takes its acknowledge and reply. `address` is sent when
// `withAddress`, `length` when `withLength`; then `dataLength` bytes of `data`. A Message reply
// other than "done" is kPacketRefused (the code stays in packetReply[1]); a Data reply leaves its
// bytes from packetReply[1] on. `replyMs` is the wait for the reply's first byte.
int packetCommand(std::uint8_t command, bool withAddress, std::uint32_t address, bool withLength,
                  std::uint16_t length, const std::uint8_t* data, int dataLength, PacketReply reply,
                  std::uint32_t replyMs);

// The message code of the last Message reply (kMessageDone when there was none).
int lastPacketMessage();
