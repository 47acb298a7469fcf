// The classic ROM loader of the F1xx/F2xx/F4xx chips: a synchronisation byte, then a frame with
// an XOR checksum, answered by an acknowledge or a data reply (loader_protocol.h has its bytes).
// It works on the chip's 64 KiB memory: flash programs by clearing bits, the loader ROM ignores
// writes, and a mass erase clears info and main flash. Loaders from 2.00 on erase the flash on a
// wrong password.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/chip.h"
#include "sim/faults.h"
#include "sim/loader_model.h"
#include "sim/loader_protocol.h"
#include "sim/sim_config.h"
#include "sim/trace.h"

namespace sim {

class ClassicLoader final : public LoaderModel {
public:
    // The configuration is read as it is at each byte (faults may be added at any time).
    ClassicLoader(LoaderLine& line, const SimConfig& config, Memory& memory);

    platform::LineFormat lineFormat() const override { return kLoaderFormat; }
    void start(std::uint64_t t, bool replacement) override;
    void abandonReception() override;
    void reset() override;
    void receive(std::uint64_t t, std::uint8_t byte) override;
    void timer(std::uint64_t t, int what, std::uint64_t arg) override;
    bool locked() const override { return locked_; }
    bool replacementRunning() const override { return replacementRunning_; }
    unsigned commandCount(int kind) const override;

private:
    enum class RxState { Idle, Frame, Discard };
    enum Timer { kDiscardEnd, kLateSync };

    void acceptSync(std::uint64_t t);
    void frameComplete(std::uint64_t t);
    void execute(std::uint64_t t);
    bool applyAnswerFault(std::uint64_t t, const Fault& fault, std::uint8_t command);
    std::uint64_t send(std::uint64_t t, const std::vector<std::uint8_t>& bytes) {
        return line_.send(t, bytes);
    }
    std::uint64_t sendDataReply(std::uint64_t t, std::uint8_t l1, std::uint8_t l2,
                                const std::vector<std::uint8_t>& data);
    void note(std::uint64_t t, const std::string& text) { line_.note(t, text); }

    bool readAllowed(std::uint32_t address, std::size_t count) const;
    std::uint8_t readMemory(std::uint16_t address) const;
    // `count` bytes from `address` on, as a read returns them.
    std::vector<std::uint8_t> readBlock(std::uint16_t address, unsigned count) const;
    void writeMemory(std::uint16_t address, std::uint8_t byte);
    void massErase();
    // The loader's version as its ROM holds it, 0x0161 for 1.61.
    unsigned versionBcd() const;
    // Whether a wrong password costs the chip its flash: loaders from 2.00 on, unless the
    // security key word at 0xFFDE is 0x0000.
    bool erasesOnWrongPassword() const;
    bool ramWritten(std::uint16_t address) const;

    LoaderLine& line_;
    const SimConfig& config_;
    Memory& memory_;
    std::vector<bool> ramWritten_;

    bool locked_ = true;
    bool replacementRunning_ = false;
    bool muted_ = false;
    RxState rxState_ = RxState::Idle;
    std::vector<std::uint8_t> frame_;
    std::uint64_t lastRxNs_ = 0;
    std::array<unsigned, 0x102> counts_{};
};

}  // namespace sim
