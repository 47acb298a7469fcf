#include "sim/chip.h"

#include <algorithm>
#include <iterator>

namespace sim {
namespace {

// The older firmware a chip comes with: a few words of code, a little calibration data and its
// reset vector, so that erasing is visible and a normal reset runs something.
const std::uint8_t kFactoryCode[] = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A, 0x20, 0x01,
                                     0xFF, 0x3F, 0x4F, 0x4C, 0x44, 0x20, 0x46, 0x57, 0x00, 0x00};
constexpr std::uint16_t kFactoryCodeAt = 0xE000;
const std::uint8_t kFactoryCalibration[] = {0x5A, 0x3C, 0x12, 0x87, 0x40, 0x01, 0x00, 0x7F};

void loadFactoryContents(Memory& m) {
    std::copy(std::begin(kFactoryCode), std::end(kFactoryCode), m.begin() + kFactoryCodeAt);
    std::copy(std::begin(kFactoryCalibration), std::end(kFactoryCalibration),
              m.begin() + kInfoFlashStart);
    m[kResetVector] = static_cast<std::uint8_t>(kFactoryCodeAt);
    m[kResetVector + 1] = static_cast<std::uint8_t>(kFactoryCodeAt >> 8);
}

}  // namespace

void loadPowerOnContents(Memory& memory, std::uint16_t chipType, std::uint8_t versionMajor,
                         std::uint8_t versionMinor, bool blankFlash) {
    memory.fill(0xFF);
    std::fill(memory.begin(), memory.begin() + kRamStart, 0x00);  // peripheral registers
    // Unused space between RAM and the loader ROM reads as zero; the ROM holds code (not modelled)
    // and the identification block.
    std::fill(memory.begin() + kRamEnd, memory.begin() + kRomEnd, 0x00);
    memory[kChipTypeHigh] = static_cast<std::uint8_t>(chipType >> 8);
    memory[kChipTypeLow] = static_cast<std::uint8_t>(chipType);
    memory[kLoaderVersionMajor] = versionMajor;
    memory[kLoaderVersionMinor] = versionMinor;
    if (!blankFlash) loadFactoryContents(memory);
}

}  // namespace sim
