// The simulated chip's fixed data: where its memory lies, where it keeps its identification, the
// loader's serial format, the clock settings its loader accepts for a speed change, and the older
// firmware it comes with.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/line_format.h"

namespace sim {

// Memory map (end exclusive).
constexpr std::uint32_t kRamStart = 0x0200, kRamEnd = 0x0A00;
constexpr std::uint32_t kRomStart = 0x0C00, kRomEnd = 0x1000;
constexpr std::uint32_t kInfoFlashStart = 0x1000, kInfoFlashEnd = 0x1100;
constexpr std::uint32_t kMainFlashStart = 0x1100, kMainFlashEnd = 0x10000;
constexpr std::uint16_t kIdentification = 0x0FF0;  // 12 bytes: chip type, ..., loader version
constexpr std::uint16_t kVectorTable = 0xFFE0;
constexpr std::uint16_t kResetVector = 0xFFFE;
// The loader's security key word on chips whose loader is 2.00 or later: 0x0000 keeps a wrong
// password from erasing the flash.
constexpr std::uint16_t kSecurityKey = 0xFFDE;
constexpr std::uint16_t kLoaderWarmStart = 0x0C22;
constexpr std::uint16_t kLoaderColdStart = 0x0C00;

// Where in the identification block each item lies.
constexpr std::uint16_t kChipTypeHigh = kIdentification + 0;
constexpr std::uint16_t kChipTypeLow = kIdentification + 1;
constexpr std::uint16_t kLoaderVersionMajor = kIdentification + 10;
constexpr std::uint16_t kLoaderVersionMinor = kIdentification + 11;

using Memory = std::array<std::uint8_t, 0x10000>;

inline bool inRam(std::uint32_t a) { return a >= kRamStart && a < kRamEnd; }
inline bool inFlash(std::uint32_t a) { return a >= kInfoFlashStart && a < kMainFlashEnd; }

// The format the ROM loader and a started replacement loader listen and answer in.
inline constexpr platform::LineFormat kLoaderFormat{9600, 8, k32::EVENPARITY, k32::ONESTOPBIT};

// A clock setting the loader accepts for Change baud rate, with the rate code and the resulting
// speed.
struct SpeedSetting {
    std::uint16_t clock;
    std::uint16_t code;
    std::uint32_t baud;
};

// Boards with the inverted TEST wiring carry the other chip family, whose clock system wants the
// other setting.
constexpr SpeedSetting kSpeedSettings[] = {
    // clock  code  speed
    {0x87E0, 2, 38400},  // boards with the normal TEST wiring
    {0x8C80, 2, 38400},  // boards with the inverted TEST wiring
};

inline const SpeedSetting& speedSetting(bool invertedTest) {
    return kSpeedSettings[invertedTest ? 1 : 0];
}

// The chips the simulated board can carry: the identification their loader reports and where their
// RAM and main flash lie (end exclusive). Info memory is 0x1000-0x10FF on all of them.
struct ChipModel {
    const char* name;
    std::uint16_t id;
    std::uint32_t ramStart, ramEnd;
    std::uint32_t flashStart;
    bool usart1;      // a second USART
    bool multiplier;  // the hardware multiplier
};

// The chips with the multiplier (the F14x and F16x) also carry Timer_B7 and the ADC12; the F1232
// has neither (its converter, an ADC10, is not modelled).
inline bool hasAdc12(const ChipModel& chip) { return chip.multiplier; }
// What refuses analog inputs for a chip without the ADC12.
inline std::string noAdc12(const ChipModel& chip) {
    return std::string("the ") + chip.name + " has no ADC12 (its ADC10 is not modelled)";
}

// A model by its name ("F149", any case), or nullptr.
const ChipModel* chipModelNamed(const std::string& name);
// The model with this identification; chips not in the table get the F149's memory.
const ChipModel& chipModelFor(std::uint16_t id);

// Memory as the chip comes: peripheral registers and unused space zero, the identification block
// set, and either erased flash or the older firmware it was sold with.
// The older firmware prints its greeting at appBaud, 8N1, and echoes what it receives.
void loadPowerOnContents(Memory& memory, std::uint16_t chipType, std::uint8_t versionMajor,
                         std::uint8_t versionMinor, bool blankFlash, std::uint32_t appBaud,
                         const std::string& greeting);

}  // namespace sim
