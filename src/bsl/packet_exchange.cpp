#include "bsl/packet_exchange.h"

#include "platform/run_output.h"
#include "serial/serial_port.h"

namespace {

constexpr std::uint32_t kReplyByteMs = 100;

}  // namespace

std::uint16_t packetCrc(const std::uint8_t* bytes, int count) {
    std::uint16_t crc = 0xFFFF;
    for (int i = 0; i < count; ++i) {
        crc ^= static_cast<std::uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                      : static_cast<std::uint16_t>(crc << 1);
    }
    return crc;
}

int framePacket(const std::uint8_t* core, int length, std::uint8_t* packet) {
    packet[0] = kPacketHeader;
    packet[1] = static_cast<std::uint8_t>(length & 0xFF);
    packet[2] = static_cast<std::uint8_t>(length >> 8);
    for (int i = 0; i < length; ++i) packet[3 + i] = core[i];
    const std::uint16_t crc = packetCrc(core, length);
    packet[3 + length] = static_cast<std::uint8_t>(crc & 0xFF);
    packet[4 + length] = static_cast<std::uint8_t>(crc >> 8);
    return length + kPacketOverhead;
}

int sendPacket(const std::uint8_t* core, int length, std::uint32_t ackMs) {
    std::uint8_t packet[kPacketCoreLimit + kPacketOverhead];
    if (length <= 0 || length > kPacketCoreLimit) return kPacketRefused;
    writeBytes(packet, framePacket(core, length, packet));
    const int answer = receiveByte(ackMs);
    if (answer == kNothingReceived) {
        runReason("the loader did not acknowledge the packet");
        return kPacketNoAnswer;
    }
    if (answer != kPacketAccepted) {
        runReason("the loader answered the packet with 0x%02X (%s)", static_cast<unsigned>(answer),
                  acknowledgeMeaning(answer));
        return kPacketRefused;
    }
    return kPacketOk;
}

int receivePacket(std::uint32_t firstByteMs) {
    packetReplyLength = 0;
    const int header = receiveByte(firstByteMs);
    if (header == kNothingReceived) return kPacketNoAnswer;
    const int low = receiveByte(kReplyByteMs);
    const int high = receiveByte(kReplyByteMs);
    if (header != kPacketHeader || low == kNothingReceived || high == kNothingReceived) {
        runReason("the loader's reply is not a packet (it begins 0x%02X)",
                  static_cast<unsigned>(header));
        return kPacketMalformed;
    }
    const int length = low | (high << 8);
    if (length == 0 || length > kPacketCoreLimit) {
        runReason("the loader's reply announces %d bytes", length);
        return kPacketMalformed;
    }
    for (int i = 0; i < length; ++i) {
        const int byte = receiveByte(kReplyByteMs);
        if (byte == kNothingReceived) {
            runReason("the loader's reply ended after %d of %d bytes", i, length);
            return kPacketMalformed;
        }
        packetReply[i] = static_cast<std::uint8_t>(byte);
    }
    const int crcLow = receiveByte(kReplyByteMs);
    const int crcHigh = receiveByte(kReplyByteMs);
    const std::uint16_t crc = packetCrc(packetReply, length);
    if (crcLow != (crc & 0xFF) || crcHigh != (crc >> 8)) {
        runReason("the loader's reply fails its checksum");
        return kPacketMalformed;
    }
    packetReplyLength = length;
    return kPacketOk;
}

const char* acknowledgeMeaning(int code) {
    switch (code) {
        case 0x00: return "packet accepted";
        case 0x51: return "header wrong";
        case 0x52: return "checksum wrong";
        case 0x53: return "packet empty";
        case 0x54: return "packet larger than the loader's buffer";
        case 0x55: return "unknown error";
        case 0x56: return "unknown baud rate";
        default: return "not an acknowledge";
    }
}

const char* messageMeaning(int code) {
    switch (code) {
        case 0x00: return "done";
        case 0x01: return "write check failed";
        case 0x02: return "flash fail bit set";
        case 0x03: return "voltage changed during the write";
        case 0x04: return "loader locked";
        case 0x05: return "wrong password";
        case 0x06: return "byte write forbidden";
        case 0x07: return "unknown command";
        case 0x08: return "packet larger than the loader's buffer";
        default: return "unknown message";
    }
}
