#include "image/image_cells.h"

#include <algorithm>

namespace {
constexpr std::uint32_t kUpperCells = kWideAddressLimit - kMemoryImageCells;
}  // namespace

void setImageAddressLimit(std::uint32_t limit) { imageAddressLimit_ = limit; }
std::uint32_t imageAddressLimit() { return imageAddressLimit_; }

std::uint16_t imageCell(std::uint32_t address) {
    if (address < kMemoryImageCells) return MemoryImage[address];
    const std::uint32_t upper = address - kMemoryImageCells;
    return upper < UpperMemoryImage.size() ? UpperMemoryImage[upper] : kEmptyCell;
}

void setImageCell(std::uint32_t address, std::uint16_t value) {
    if (address < kMemoryImageCells) {
        MemoryImage[address] = value;
        return;
    }
    if (address >= kWideAddressLimit) return;
    // The upper part exists only once a file puts data there.
    if (UpperMemoryImage.empty()) UpperMemoryImage.assign(kUpperCells, kEmptyCell);
    UpperMemoryImage[address - kMemoryImageCells] = value;
}

void clearImage() {
    std::fill_n(MemoryImage, kMemoryImageCells, kEmptyCell);
    UpperMemoryImage.clear();
}

bool firmwareReachesAbove64K() {
    return std::any_of(UpperMemoryImage.begin(), UpperMemoryImage.end(),
                       [](std::uint16_t cell) { return cell != kEmptyCell; });
}
