// The chips of the newer loader family the simulated board can carry (F5xx/F6xx flash parts and
// FR5xx/FR6xx/FR2xx FRAM parts): where their memory lies, how they identify themselves, which of
// the family's commands their loader knows and what its erases clear. Addresses are 20 bits; ends
// are exclusive.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

// Memory every chip of the family has at the same place.
constexpr std::uint32_t kNewerLoaderStart = 0x1000, kNewerLoaderEnd = 0x1800;  // the loader itself
constexpr std::uint32_t kNewerInfoStart = 0x1800, kNewerInfoEnd = 0x1A00;      // info D, C, B, A
constexpr std::uint32_t kNewerInfoAStart = 0x1980;
constexpr std::uint32_t kNewerDescriptor = 0x1A00, kNewerDescriptorEnd = 0x1B00;
constexpr std::uint32_t kNewerDeviceId = 0x1A04;  // the device ID, a word: low byte first
constexpr std::uint32_t kNewerPassword = 0xFFE0;  // the password: the 32 bytes up to 0xFFFF

enum class NewerKind {
    Flash,       // F5xx/F6xx: flash, INFO_A lock, segment erase, mass erase of code flash
    Fram,        // FR5xx/FR6xx: FRAM; mass erase of code FRAM, acknowledged but not answered
    FramSmall,   // FR23xx/FR25xx/FR26xx: FRAM; mass erase clears code and info and answers
};

struct NewerChip {
    const char* name;
    NewerKind kind;
    std::uint16_t deviceId;
    std::uint32_t ramStart, ramEnd;
    std::uint32_t mainStart, mainEnd;  // code flash or FRAM, vectors included
    std::array<std::uint8_t, 4> version;  // vendor, command interpreter, API, interface
    std::uint16_t bufferSize;             // the core bytes a packet may carry
};

// A chip by its name ("F5529", any case), or nullptr.
const NewerChip* newerChipNamed(const std::string& name);

// The chips' names, for listings ("F5529, F5438A, ...").
std::string newerChipNames();

}  // namespace sim
