// The newer loaders (F5xx, F6xx, FR5xx, FR6xx, FR2xx, FR4xx) behind the family table. They are
// started by the same entry sequence as the classic loader: with RST held low the TEST line gives
// two pulses (two rising edges) and RST rises during the second, while TEST is high.
#include <algorithm>

#include "bsl/bsl_commands.h"
#include "bsl/loader_family.h"
#include "bsl/packet_commands.h"
#include "bsl/packet_exchange.h"
#include "options/program_options.h"
#include "platform/run_output.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;

namespace {

constexpr int kPasswordOffset = 3;
constexpr int kIdentificationOffset = 6;

// Waits for a reply's first byte: ordinary commands, and those that erase (a refused password
// erases the chip before the answer).
constexpr std::uint32_t kReplyMs = 1000;
constexpr std::uint32_t kEraseReplyMs = 3000;
// An FRAM loader may carry out a mass erase without a word (FR5xx, FR6xx).
constexpr std::uint32_t kFramEraseReplyMs = 200;

constexpr std::uint32_t kDeviceIdAddress = 0x1A04;
constexpr std::uint8_t kApiFram = 0x30;
constexpr DWORD kFastBaud = 115200;

// The loader's buffer as it says (command, address and data of one packet); until it has said,
// the classic block size.
int bufferBytes() { return packetLoaderBuffer > 0 ? packetLoaderBuffer : 244; }

int sendPassword(const std::uint8_t* password = erasedDevicePassword) {
    runNoteCommand(kBslRxPassword, kPasswordAddress, kPasswordLength);
    return packetCommand(kCoreRxPassword, false, 0, false, 0, password, kPasswordLength,
                         PacketReply::Message, kEraseReplyMs);
}

// The erased-device password; a chip that refuses it has erased itself, after which the same
// password opens it.
int unlock() {
    int result = sendPassword();
    if (result == kPacketRefused && lastPacketMessage() == kMessageWrongPassword)
        result = sendPassword();
    return result;
}

int readVersion() {
    int result =
        packetCommand(kCoreTxVersion, false, 0, false, 0, nullptr, 0, PacketReply::Data, kReplyMs);
    if (result != kPacketOk) return result;
    if (packetReplyLength < 5) {
        runReason("the loader's version reply holds %d bytes", packetReplyLength - 1);
        return kPacketMalformed;
    }
    std::copy_n(packetReply + 1, 4, packetLoaderVersion);
    return kPacketOk;
}

// Mass erase: a flash loader answers when it is done; an FRAM loader of the FR5xx/FR6xx kind
// does not answer, and one of the FR2xx/FR4xx kind has no such command (its refused password is
// its mass erase).
int massErase() {
    runNoteCommand(kBslMassErase, kMassEraseAddress, kMassEraseKey);
    if (packetLoaderVersion[2] != kApiFram)
        return packetCommand(kCoreMassErase, false, 0, false, 0, nullptr, 0, PacketReply::Message,
                             kEraseReplyMs);
    int result = packetRequest(kCoreMassErase, false, 0, false, 0, nullptr, 0);
    if (result != kPacketOk) return result;
    result = receivePacket(kFramEraseReplyMs);
    if (result == kPacketNoAnswer) return kPacketOk;
    if (result != kPacketOk) return result;
    if (packetReply[0] == kReplyMessage && packetReplyLength == 2 &&
        (packetReply[1] == kMessageDone || packetReply[1] == kMessageUnknownCommand))
        return kPacketOk;
    runReason("the loader answered the mass erase with %s",
              packetReply[0] == kReplyMessage ? messageMeaning(packetReply[1]) : "data");
    return kPacketRefused;
}

int eraseAndUnlock() {
    int result = unlock();
    if (result != kPacketOk) return result + kPasswordOffset;
    result = readVersion();
    if (result != kPacketOk) return result + kIdentificationOffset;
    result = massErase();
    if (result != kPacketOk) return result;
    // After the erase the chip's password is the erased one again; it may want it anew.
    result = sendPassword();
    if (result != kPacketOk) return result + kPasswordOffset;
    return 0;
}

int identify(LoaderIdentity& identity) {
    runNoteCommand(kBslTxDataBlock, static_cast<std::uint16_t>(kDeviceIdAddress), 2);
    int result = packetCommand(kCoreTxDataBlock, true, kDeviceIdAddress, true, 2, nullptr, 0,
                               PacketReply::Data, kReplyMs);
    if (result != kPacketOk) return result;
    if (packetReplyLength != 3) {
        runReason("the loader sent %d bytes of the device ID", packetReplyLength - 1);
        return kPacketMalformed;
    }
    // The device ID is a word, low byte first (0x1A04 holds 0x29 on an F5529).
    identity.chipType = packetReply[1] | static_cast<unsigned>(packetReply[2]) << 8;
    // The command interpreter's version and the API's (00 flash, 30 FRAM, 80 RAM only).
    identity.major = packetLoaderVersion[1];
    identity.minor = packetLoaderVersion[2];

    result = packetCommand(kCoreTxBufferSize, false, 0, false, 0, nullptr, 0, PacketReply::Data,
                           kReplyMs);
    if (result != kPacketOk) return result;
    if (packetReplyLength != 3) {
        runReason("the loader's buffer size reply holds %d bytes", packetReplyLength - 1);
        return kPacketMalformed;
    }
    const int size = packetReply[1] | (packetReply[2] << 8);
    // A command, an address of three bytes and at least one word of data must fit.
    if (size < 6) {
        runReason("the loader reports a buffer of %d bytes", size);
        return kPacketMalformed;
    }
    packetLoaderBuffer = size;
    return kPacketOk;
}

// 115200 Bd: the loader acknowledges at the old speed, then both ends move.
int speedUp() {
    runNoteCommand(kBslChangeBaudRate, 0, kBaudCode115200);
    const std::uint8_t code = kBaudCode115200;
    int result = packetCommand(kCoreChangeBaudRate, false, 0, false, 0, &code, 1, PacketReply::None,
                               kReplyMs);
    if (result != kPacketOk) return result;
    GetCommState(portHandle, &deviceControl);
    deviceControl.BaudRate = kFastBaud;
    deviceControl.fDtrControl = DTR_CONTROL_DISABLE;
    deviceControl.fRtsControl = RTS_CONTROL_DISABLE;
    SetCommState(portHandle, &deviceControl);
    return kPacketOk;
}

// The data of one RX data block: the buffer less the command and the address.
int blockLimit() { return (bufferBytes() - 4) & ~1; }

int readBlock(std::uint32_t address, int length) {
    runNoteCommand(kBslTxDataBlock, static_cast<std::uint16_t>(address),
                   static_cast<std::uint16_t>(length));
    int result =
        packetCommand(kCoreTxDataBlock, true, address, true, static_cast<std::uint16_t>(length),
                      nullptr, 0, PacketReply::Data, kReplyMs);
    if (result != kPacketOk) return result;
    if (packetReplyLength != length + 1) {
        runReason("the loader sent %d bytes of the %d asked for", packetReplyLength - 1, length);
        return kPacketMalformed;
    }
    return kPacketOk;
}

int firstDifference(const std::uint8_t* bytes, int length) {
    for (int k = 0; k < length; ++k)
        if (packetReply[1 + k] != bytes[k]) return k;
    return -1;
}

int verifyBlock(std::uint32_t address, const std::uint8_t* bytes, int length, int& differsAt) {
    int result = readBlock(address, length);
    if (result != kPacketOk) return result;
    const int k = firstDifference(bytes, length);
    if (k < 0) return kPacketOk;
    differsAt = k;
    return kBlockDiffers;
}

// Writes the block and has the chip compute the CRC of what it now holds. On a mismatch the
// block is read back when verification is on, to name the first byte that differs.
int writeBlock(std::uint32_t address, const std::uint8_t* bytes, int length, int& differsAt) {
    runNoteCommand(kBslRxDataBlock, static_cast<std::uint16_t>(address),
                   static_cast<std::uint16_t>(length));
    int result = packetCommand(kCoreRxDataBlock, true, address, false, 0, bytes, length,
                               PacketReply::Message, kReplyMs);
    if (result != kPacketOk) return result;
    result = packetCommand(kCoreCrcCheck, true, address, true, static_cast<std::uint16_t>(length),
                           nullptr, 0, PacketReply::Data, kReplyMs);
    if (result != kPacketOk) return result;
    if (packetReplyLength != 3) {
        runReason("the loader's CRC reply holds %d bytes", packetReplyLength - 1);
        return kPacketMalformed;
    }
    const unsigned chip = packetReply[1] | (packetReply[2] << 8);
    const unsigned ours = packetCrc(bytes, length);
    if (chip == ours) return kPacketOk;
    runReason("the block at 0x%05X has the CRC %04X in the chip, %04X in the image",
              static_cast<unsigned>(address), chip, ours);
    differsAt = 0;
    if (settings.verifyMode != 0 && readBlock(address, length) == kPacketOk) {
        const int k = firstDifference(bytes, length);
        if (k >= 0) differsAt = k;
    }
    return kBlockDiffers;
}

int startAt(std::uint32_t address) {
    runNoteCommand(kBslLoadPc, static_cast<std::uint16_t>(address), 0);
    return packetCommand(kCoreLoadPc, true, address, false, 0, nullptr, 0, PacketReply::None,
                         kReplyMs);
}

void finish() {
    setResetLine(0);
    Sleep(50);
}

// Every newer loader erases the chip's main memory when a password is wrong.
int wrongPasswordCost(WrongPasswordCost& cost, LoaderIdentity&, bool& known) {
    cost = WrongPasswordCost::ErasesFlash;
    known = false;
    return kPacketOk;
}

int unlockWith(const std::uint8_t* password) {
    const int result = sendPassword(password);
    if (result == kPacketRefused && lastPacketMessage() == kMessageWrongPassword)
        return kPasswordRefused;
    return result;
}

int readInto(std::uint32_t address, std::uint8_t* into, int length) {
    const int result = readBlock(address, length);
    if (result == kPacketOk) std::copy_n(packetReply + 1, length, into);
    return result;
}

}  // namespace

const LoaderFamily packetLoaderFamily = {
    "5xx",   0x100000,   enterBootstrapLoader, eraseAndUnlock, identify,
    speedUp, blockLimit, writeBlock,           verifyBlock,    startAt,
    finish,  wrongPasswordCost, unlockWith,    readInto};

int probePacketLoader() {
    packetLoaderBuffer = 0;
    std::fill_n(packetLoaderVersion, 4, std::uint8_t{0});
    int result = packetRequest(kCoreTxVersion, false, 0, false, 0, nullptr, 0);
    if (result != kPacketOk) return result;
    result = receivePacket(kReplyMs);
    if (result != kPacketOk) return result;
    // Locked, it answers with its lock message; open (a chip without a password), with its version.
    if (packetReply[0] == kReplyMessage || packetReply[0] == kReplyData) return kPacketOk;
    return kPacketMalformed;
}
