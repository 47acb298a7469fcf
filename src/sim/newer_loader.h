// The ROM loader of the newer MSP430 families (F5xx/F6xx, FR5xx/FR6xx, FR2xx): packets
// `80 NL NH <core> CKL CKH` with a CRC over the core, each answered by one acknowledge byte and,
// when the command has one, a reply packet of the same form. It owns the chip's memory (20-bit
// addresses, main memory reaching above 0xFFFF where the part has it); the chip's firmware does
// not run on this model, so a Load PC leaves a silent chip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/faults.h"
#include "sim/loader_model.h"
#include "sim/newer_chips.h"
#include "sim/sim_config.h"

namespace sim {

// The family's bytes.
namespace newer {
constexpr std::uint8_t kHeader = 0x80;
// Acknowledges.
constexpr std::uint8_t kAckOk = 0x00, kAckHeader = 0x51, kAckChecksum = 0x52,
                       kAckLengthZero = 0x53, kAckLengthOver = 0x54, kAckUnknown = 0x55,
                       kAckBaud = 0x56;
// Core replies and their messages.
constexpr std::uint8_t kReplyData = 0x3A, kReplyMessage = 0x3B;
constexpr std::uint8_t kMsgOk = 0x00, kMsgWriteCheck = 0x01, kMsgFlashFail = 0x02,
                       kMsgVoltage = 0x03, kMsgLocked = 0x04, kMsgPassword = 0x05,
                       kMsgByteWrite = 0x06, kMsgUnknownCommand = 0x07, kMsgLengthOver = 0x08;
// Commands.
constexpr std::uint8_t kRxDataBlock = 0x10, kRxPassword = 0x11, kEraseSegment = 0x12,
                       kToggleInfo = 0x13, kMassErase = 0x15, kCrcCheck = 0x16, kLoadPc = 0x17,
                       kTxDataBlock = 0x18, kTxVersion = 0x19, kTxBufferSize = 0x1A,
                       kRxDataBlockFast = 0x1B, kChangeBaud = 0x52;

// CRC-16, polynomial 0x1021, no reflection, no final XOR: a packet's checksum (from 0xFFFF over
// its core) and the CRC check command's answer.
std::uint16_t crc16(const std::uint8_t* bytes, std::size_t count, std::uint16_t crc = 0xFFFF);
// The speed a Change baud rate code selects, or 0 for a code the loader does not know.
std::uint32_t baudForCode(std::uint8_t code);
}  // namespace newer

class NewerLoader final : public LoaderModel {
public:
    // The configuration is read as it is at each byte (faults may be added at any time).
    NewerLoader(LoaderLine& line, const SimConfig& config, const NewerChip& chip);

    platform::LineFormat lineFormat() const override;
    void start(std::uint64_t t, bool replacement) override;
    void abandonReception() override;
    void reset() override;
    void receive(std::uint64_t t, std::uint8_t byte) override;
    void timer(std::uint64_t t, int what, std::uint64_t arg) override;
    bool locked() const override { return locked_; }
    bool replacementRunning() const override { return false; }
    unsigned commandCount(int kind) const override;
    bool entryOnRisingEdges() const override { return true; }
    bool runsFirmware() const override { return false; }

    const NewerChip& chip() const { return chip_; }
    bool infoALocked() const { return infoALocked_; }
    // Memory as stored; poke writes anywhere, as a programmer of the chip's masks would.
    std::uint8_t peek(std::uint32_t address) const;
    std::vector<std::uint8_t> peek(std::uint32_t address, std::size_t count) const;
    void poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

private:
    enum class Rx { Header, LengthLow, LengthHigh, Core, CrcLow, CrcHigh, Discard };
    enum class Area { Peripheral, Loader, Info, Descriptor, Ram, Main, Vacant };

    void packetComplete(std::uint64_t t);
    void execute(std::uint64_t t);
    void skipRest(std::uint64_t t, std::uint8_t ack, const char* why);
    std::uint64_t send(std::uint64_t t, const std::vector<std::uint8_t>& bytes);
    std::uint64_t sendAck(std::uint64_t t, std::uint8_t ack);
    std::uint64_t sendPacket(std::uint64_t t, const std::vector<std::uint8_t>& core);
    std::uint64_t sendMessage(std::uint64_t t, std::uint8_t message);
    void note(std::uint64_t t, const std::string& text) { line_.note(t, text); }
    const Fault* answerFault(std::uint8_t command, unsigned count, unsigned anyCount) const;

    Area areaOf(std::uint32_t address) const;
    std::uint8_t readByte(std::uint32_t address) const;
    // Writes a block as RX data block does; returns the message it answers.
    std::uint8_t writeBlock(std::uint32_t address, const std::uint8_t* data, std::size_t count);
    std::uint8_t eraseSegment(std::uint32_t address);
    // What a mass erase (and a wrong password) clears on this chip.
    void eraseCode(std::uint64_t t, const char* why);

    LoaderLine& line_;
    const SimConfig& config_;
    const NewerChip& chip_;
    std::vector<std::uint8_t> memory_;

    bool locked_ = true;
    bool infoALocked_ = true;
    bool muted_ = false;
    Rx rx_ = Rx::Header;
    std::vector<std::uint8_t> core_;
    std::size_t coreLength_ = 0;
    std::uint16_t crc_ = 0;
    std::uint64_t lastRxNs_ = 0;
    std::uint64_t sendingUntil_ = 0;  // the loader's last answer is on the line until then
    // The reply packet's faults for the command being answered.
    bool replyLengthWrong_ = false;
    bool replyCrcWrong_ = false;
    std::array<unsigned, 0x102> counts_{};
};

}  // namespace sim
