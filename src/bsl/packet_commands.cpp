#include "bsl/packet_commands.h"

#include "bsl/packet_exchange.h"
#include "platform/run_output.h"

namespace {

constexpr std::uint32_t kAcknowledgeMs = 1000;

}  // namespace

int packetRequest(std::uint8_t command, bool withAddress, std::uint32_t address, bool withLength,
                  std::uint16_t length, const std::uint8_t* data, int dataLength) {
    std::uint8_t core[kPacketCoreLimit];
    int n = 0;
    core[n++] = command;
    if (withAddress) {
        core[n++] = static_cast<std::uint8_t>(address & 0xFF);
        core[n++] = static_cast<std::uint8_t>((address >> 8) & 0xFF);
        core[n++] = static_cast<std::uint8_t>((address >> 16) & 0xFF);
    }
    if (withLength) {
        core[n++] = static_cast<std::uint8_t>(length & 0xFF);
        core[n++] = static_cast<std::uint8_t>(length >> 8);
    }
    if (dataLength < 0 || dataLength > kPacketCoreLimit - n) return kPacketRefused;
    for (int i = 0; i < dataLength; ++i) core[n++] = data[i];

    packetReplyLength = 0;
    return sendPacket(core, n, kAcknowledgeMs);
}

int packetAnswer(std::uint8_t command, PacketReply reply, std::uint32_t replyMs) {
    int result = receivePacket(replyMs);
    if (result == kPacketNoAnswer)
        runReason("the loader acknowledged command 0x%02X but sent no reply",
                  static_cast<unsigned>(command));
    if (result != kPacketOk) return result;

    if (packetReply[0] == kReplyMessage && packetReplyLength == 2) {
        if (packetReply[1] == kMessageDone && reply == PacketReply::Message) return kPacketOk;
        runReason("the loader answered command 0x%02X with message 0x%02X (%s)",
                  static_cast<unsigned>(command), static_cast<unsigned>(packetReply[1]),
                  messageMeaning(packetReply[1]));
        return kPacketRefused;
    }
    if (packetReply[0] == kReplyData && reply == PacketReply::Data) return kPacketOk;
    runReason("the loader answered command 0x%02X with a reply of kind 0x%02X",
              static_cast<unsigned>(command), static_cast<unsigned>(packetReply[0]));
    return kPacketMalformed;
}

int packetCommand(std::uint8_t command, bool withAddress, std::uint32_t address, bool withLength,
                  std::uint16_t length, const std::uint8_t* data, int dataLength, PacketReply reply,
                  std::uint32_t replyMs) {
    int result = packetRequest(command, withAddress, address, withLength, length, data, dataLength);
    if (result != kPacketOk || reply == PacketReply::None) return result;
    return packetAnswer(command, reply, replyMs);
}

int lastPacketMessage() {
    if (packetReplyLength == 2 && packetReply[0] == kReplyMessage) return packetReply[1];
    return kMessageDone;
}
