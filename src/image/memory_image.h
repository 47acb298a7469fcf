// The target's 64 KiB byte address space as loaded from an Intel HEX file.
#pragma once

#include <cstdint>

constexpr std::uint16_t EMPTY_CELL = 0xFFFF;
constexpr int MEMORY_IMAGE_CELLS = 65536;

// One cell per byte address: EMPTY_CELL, or the byte in the low half and 0 in the high half.
extern std::uint16_t MemoryImage[MEMORY_IMAGE_CELLS];
