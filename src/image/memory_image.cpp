#include "image/memory_image.h"

#include <algorithm>

std::uint16_t MemoryImage[kMemoryImageCells];

namespace {
// Before the first file is loaded the image describes no file at all: every cell is empty.
const bool imageStartsEmpty = (std::fill_n(MemoryImage, kMemoryImageCells, kEmptyCell), true);
}  // namespace
