#include "image/memory_image.h"

#include <algorithm>

thread_local std::uint16_t MemoryImage[kMemoryImageCells];

namespace {
// Before the first file is loaded the image describes no file at all: every cell is empty. (The
// program's own thread; a thread that starts a run of its own fills its image before it downloads.)
const bool imageStartsEmpty = (std::fill_n(MemoryImage, kMemoryImageCells, kEmptyCell), true);
}  // namespace
