#include "sim/chip.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <vector>

#include "sim/mcu/peripherals.h"

namespace sim {
namespace {

constexpr ChipModel kChipModels[] = {
    // name     id      RAM               main flash  USART1 multiplier
    {"F1232", 0x1232, 0x0200, 0x0300, 0xE000, false, false},
    {"F149", 0xF149, 0x0200, 0x0A00, 0x1100, true, true},
    {"F169", 0xF169, 0x0200, 0x0A00, 0x1100, true, true},
    {"F1611", 0xF16C, 0x1100, 0x3900, 0x4000, true, true},
};

// The older firmware a chip comes with: it prints a line on USART0 (P3.4/P3.5, 8N1) from the DCO
// at its fastest setting and then echoes what it receives; a little calibration data sits in info
// memory. Erasing is visible, and a normal reset runs something.
constexpr std::uint16_t kFactoryCodeAt = 0xE000;
const std::uint8_t kFactoryCalibration[] = {0x5A, 0x3C, 0x12, 0x87, 0x40, 0x01, 0x00, 0x7F};
constexpr std::uint8_t kFastDcoctl = 0xE0, kFastBcsctl1 = 0x87;

class Code {
public:
    void word(std::uint16_t w) { words_.push_back(w); }
    // MOV.B #imm, &address and friends (opcode's high nibble: 4 MOV, B BIT, C BIC, D BIS).
    void immToAbsByte(unsigned opcode, std::uint8_t imm, std::uint16_t address) {
        word(static_cast<std::uint16_t>((opcode << 12) | 0x00F2));
        word(imm);
        word(address);
    }
    std::size_t here() const { return words_.size(); }
    // A jump at the current place to word index `target`; condition 1 JEQ, 7 JMP.
    void jump(unsigned condition, std::size_t target) {
        const int offset = static_cast<int>(target) - static_cast<int>(here()) - 1;
        word(static_cast<std::uint16_t>(0x2000 | (condition << 10) | (offset & 0x3FF)));
    }
    const std::vector<std::uint16_t>& words() const { return words_; }
    std::vector<std::uint16_t>& words() { return words_; }

private:
    std::vector<std::uint16_t> words_;
};

void loadFactoryContents(Memory& m, std::uint32_t appBaud, const std::string& greeting) {
    const std::uint32_t clockHz = mcu::dcoFrequencyHz(kFastDcoctl, kFastBcsctl1);
    const double divider =
        std::max(3.0, static_cast<double>(clockHz) / std::max<std::uint32_t>(appBaud, 1));
    const auto whole = static_cast<std::uint16_t>(std::min(divider, 65535.0));
    const unsigned eighths = std::min(7u, static_cast<unsigned>((divider - whole) * 8 + 0.5));
    const std::uint8_t modulation = static_cast<std::uint8_t>(0xFF00u >> eighths);

    Code c;
    c.word(0x4031);  // MOV #0x0A00, SP
    c.word(0x0A00);
    c.word(0x40B2);  // MOV #0x5A80, &WDTCTL: watchdog stopped
    c.word(0x5A80);
    c.word(0x0120);
    c.immToAbsByte(4, kFastDcoctl, 0x0056);
    c.immToAbsByte(4, kFastBcsctl1, 0x0057);
    c.immToAbsByte(0xD, 0x30, 0x001B);  // P3SEL: P3.4 TXD, P3.5 RXD
    c.immToAbsByte(4, 0xC0, 0x0004);    // ME1: transmitter and receiver
    c.immToAbsByte(4, 0x11, 0x0070);    // U0CTL: 8 data bits, held in reset
    c.immToAbsByte(4, 0x20, 0x0071);    // U0TCTL: SMCLK
    c.immToAbsByte(4, static_cast<std::uint8_t>(whole), 0x0074);
    c.immToAbsByte(4, static_cast<std::uint8_t>(whole >> 8), 0x0075);
    c.immToAbsByte(4, modulation, 0x0073);
    c.word(0xC3D2);  // BIC.B #1, &U0CTL: running
    c.word(0x0070);
    c.word(0x403F);  // MOV #text, R15
    const std::size_t textAddress = c.here();
    c.word(0);
    const std::size_t print = c.here();
    c.word(0x4F7E);  // MOV.B @R15+, R14
    c.word(0x934E);  // TST.B R14
    const std::size_t toEcho = c.here();
    c.word(0);  // JEQ echo
    const std::size_t waitTx = c.here();
    c.immToAbsByte(0xB, 0x80, 0x0002);  // BIT.B #UTXIFG0, &IFG1
    c.jump(1, waitTx);
    c.word(0x4EC2);  // MOV.B R14, &U0TXBUF
    c.word(0x0077);
    c.jump(7, print);
    const std::size_t echo = c.here();
    c.immToAbsByte(0xB, 0x40, 0x0002);  // BIT.B #URXIFG0, &IFG1
    c.jump(1, echo);
    c.word(0x425E);  // MOV.B &U0RXBUF, R14
    c.word(0x0076);
    const std::size_t waitEcho = c.here();
    c.immToAbsByte(0xB, 0x80, 0x0002);
    c.jump(1, waitEcho);
    c.word(0x4EC2);  // MOV.B R14, &U0TXBUF
    c.word(0x0077);
    c.jump(7, echo);
    // Patch the forward jump and the text's address.
    const std::size_t end = c.here();
    c.words()[toEcho] = static_cast<std::uint16_t>(0x2400 | ((echo - toEcho - 1) & 0x3FF));
    c.words()[textAddress] = static_cast<std::uint16_t>(kFactoryCodeAt + 2 * end);

    std::uint16_t at = kFactoryCodeAt;
    for (std::uint16_t w : c.words()) {
        m[at++] = static_cast<std::uint8_t>(w);
        m[at++] = static_cast<std::uint8_t>(w >> 8);
    }
    for (char ch : greeting) m[at++] = static_cast<std::uint8_t>(ch);
    m[at] = 0;
    std::copy(std::begin(kFactoryCalibration), std::end(kFactoryCalibration),
              m.begin() + kInfoFlashStart);
    m[kResetVector] = static_cast<std::uint8_t>(kFactoryCodeAt);
    m[kResetVector + 1] = static_cast<std::uint8_t>(kFactoryCodeAt >> 8);
}

}  // namespace

const ChipModel* chipModelNamed(const std::string& name) {
    for (const ChipModel& model : kChipModels) {
        const std::string n = model.name;
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) ==
                       std::toupper(static_cast<unsigned char>(b));
            }))
            return &model;
    }
    return nullptr;
}

const ChipModel& chipModelFor(std::uint16_t id) {
    for (const ChipModel& model : kChipModels)
        if (model.id == id) return model;
    return kChipModels[1];
}

void loadPowerOnContents(Memory& memory, std::uint16_t chipType, std::uint8_t versionMajor,
                         std::uint8_t versionMinor, bool blankFlash, std::uint32_t appBaud,
                         const std::string& greeting) {
    memory.fill(0xFF);
    std::fill(memory.begin(), memory.begin() + kRamStart, 0x00);  // peripheral registers
    // Unused space between RAM and the loader ROM reads as zero; the ROM holds code (not modelled)
    // and the identification block.
    std::fill(memory.begin() + kRamEnd, memory.begin() + kRomEnd, 0x00);
    memory[kChipTypeHigh] = static_cast<std::uint8_t>(chipType >> 8);
    memory[kChipTypeLow] = static_cast<std::uint8_t>(chipType);
    memory[kLoaderVersionMajor] = versionMajor;
    memory[kLoaderVersionMinor] = versionMinor;
    if (!blankFlash) loadFactoryContents(memory, appBaud, greeting);
}

}  // namespace sim
