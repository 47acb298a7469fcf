// The target's 64 KiB byte address space as loaded from an Intel HEX file.
#pragma once

#include <cstdint>

constexpr std::uint16_t kEmptyCell = 0xFFFF;
constexpr int kMemoryImageCells = 65536;

// One cell per byte address: kEmptyCell, or the byte in the low half and 0 in the high half. Each
// thread has its own, the image of the run it makes.
extern thread_local std::uint16_t MemoryImage[kMemoryImageCells];
