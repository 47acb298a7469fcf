// The image's cells by address, below 0x10000 in MemoryImage and above it, for the newer loaders'
// chips, in UpperMemoryImage; and how far a load may reach.
#pragma once

#include <cstdint>

#include "serial/run_state.h"

// The classic loader's chips end at 0xFFFF; the newer ones' addresses have 20 bits.
constexpr std::uint32_t kClassicAddressLimit = 0x10000;
constexpr std::uint32_t kWideAddressLimit = 0x100000;

// The first address a load of this thread refuses (kClassicAddressLimit until told otherwise).
void setImageAddressLimit(std::uint32_t limit);
std::uint32_t imageAddressLimit();

// The cell at `address` (below imageAddressLimit's widest value): kEmptyCell or the byte.
std::uint16_t imageCell(std::uint32_t address);
void setImageCell(std::uint32_t address, std::uint16_t value);
// Every cell empty, above 0xFFFF too.
void clearImage();
// Whether any cell above 0xFFFF is filled.
bool firmwareReachesAbove64K();
