// The newer families' memory as their loader sees it: what each area is, what a read returns,
// how a write and the erases work on flash and on FRAM.
#include <algorithm>
#include <cstdio>

#include "sim/newer_loader.h"

namespace sim {

using namespace newer;

NewerLoader::Area NewerLoader::areaOf(std::uint32_t a) const {
    if (a < kNewerLoaderStart) return Area::Peripheral;
    if (a < kNewerLoaderEnd) return Area::Loader;
    if (a < kNewerInfoEnd) return Area::Info;
    if (a >= kNewerDescriptor && a < kNewerDescriptorEnd) return Area::Descriptor;
    if (a >= chip_.ramStart && a < chip_.ramEnd) return Area::Ram;
    if (a >= chip_.mainStart && a < chip_.mainEnd) return Area::Main;
    return Area::Vacant;
}

std::uint8_t NewerLoader::readByte(std::uint32_t address) const {
    // Vacant memory reads as the word 0x3FFF (a jump to itself).
    if (areaOf(address) == Area::Vacant) return address & 1 ? 0x3F : 0xFF;
    const std::uint8_t value = memory_[address];
    return address < 0x10000
               ? corruptRead(config_.faults, static_cast<std::uint16_t>(address), value)
               : value;
}

std::uint8_t NewerLoader::writeBlock(std::uint32_t address, const std::uint8_t* data,
                                     std::size_t count) {
    const bool flash = chip_.kind == NewerKind::Flash;
    bool failBit = false, checkFailed = false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        switch (areaOf(a)) {
            case Area::Peripheral: break;  // registers, not modelled
            case Area::Ram: memory_[a] = data[i]; break;
            case Area::Info:
                if (flash && a >= kNewerInfoAStart && infoALocked_) {
                    failBit = true;
                    break;
                }
                [[fallthrough]];
            case Area::Main:
                // Flash programming only clears bits; FRAM takes the byte as it is.
                memory_[a] = flash ? memory_[a] & data[i] : data[i];
                if (memory_[a] != data[i]) checkFailed = true;
                break;
            case Area::Loader:
            case Area::Descriptor:
            case Area::Vacant:
                // The flash controller refuses (its fail bit); FRAM stays as it was, which the
                // loader's check after writing finds.
                if (flash)
                    failBit = true;
                else if (readByte(a) != data[i])
                    checkFailed = true;
                break;
        }
    }
    if (failBit) return kMsgFlashFail;
    return checkFailed ? kMsgWriteCheck : kMsgOk;
}

std::uint8_t NewerLoader::eraseSegment(std::uint32_t address) {
    const Area area = areaOf(address);
    if (area == Area::Info) {
        if (address >= kNewerInfoAStart && infoALocked_) return kMsgFlashFail;
        const std::uint32_t start = address & ~0x7Fu;  // 128-byte info segments
        std::fill(memory_.begin() + start, memory_.begin() + start + 0x80, 0xFF);
        return kMsgOk;
    }
    if (area != Area::Main) return kMsgFlashFail;
    const std::uint32_t start = std::max(address & ~0x1FFu, chip_.mainStart);  // 512 bytes
    const std::uint32_t end = std::min(start + 0x200, chip_.mainEnd);
    std::fill(memory_.begin() + start, memory_.begin() + end, 0xFF);
    return kMsgOk;
}

void NewerLoader::eraseCode(std::uint64_t t, const char* why) {
    std::fill(memory_.begin() + chip_.mainStart, memory_.begin() + chip_.mainEnd, 0xFF);
    // The FR23xx-class parts clear their info memory as well; the others keep it.
    const bool info = chip_.kind == NewerKind::FramSmall;
    if (info) std::fill(memory_.begin() + kNewerInfoStart, memory_.begin() + kNewerInfoEnd, 0xFF);
    note(t, std::string(why) + (info ? ": code and info memory erased" : ": code memory erased"));
}

std::uint8_t NewerLoader::peek(std::uint32_t address) const {
    return address < memory_.size() ? memory_[address] : 0xFF;
}

std::vector<std::uint8_t> NewerLoader::peek(std::uint32_t address, std::size_t count) const {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i)
        bytes.push_back(peek(static_cast<std::uint32_t>(address + i)));
    return bytes;
}

void NewerLoader::poke(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i)
        memory_[address + i] = bytes[i];
}

}  // namespace sim
