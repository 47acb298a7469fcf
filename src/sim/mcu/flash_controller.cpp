// The flash controller. FCTL1-3 take writes only with the key 0xA5 in the high byte (anything
// else sets KEYV and resets the chip) and read back with 0x96 there. With LOCK clear, a write to
// flash memory programs it (bits only go from 1 to 0) when WRT is set, erases its segment when
// ERASE is set, and erases all main memory (with ERASE too: and info memory) when MERAS is set.
// The CPU waits while the timing generator does the work.
#include <algorithm>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint8_t {
    kErase = 0x02,
    kMeras = 0x04,
    kWrt = 0x40,
    kBlkwrt = 0x80,
    kBusy = 0x01,
    kKeyv = 0x02,
    kAccvifg = 0x04,
    kLock = 0x10,
};
// Timing generator cycles per operation.
constexpr std::uint64_t kWriteCycles = 35, kSegmentEraseCycles = 4819, kMassEraseCycles = 5297;

}  // namespace

void FlashController::reset(bool powerOn) {
    fctl1_ = 0;
    fctl2_ = 0x42;
    fctl3_ = static_cast<std::uint8_t>(0x18 | (powerOn ? 0 : (fctl3_ & kKeyv)));
}

std::uint16_t FlashController::read(std::uint16_t address, bool) {
    switch (address) {
        case 0x128: return 0x9600 | fctl1_;
        case 0x12A: return 0x9600 | fctl2_;
        default: return 0x9600 | fctl3_;
    }
}

void FlashController::write(std::uint16_t address, std::uint16_t value, bool byte) {
    if (byte || (value >> 8) != 0xA5) {
        fctl3_ |= kKeyv;
        mcu_.requestReset("flash controller written without its key");
        return;
    }
    const auto v = static_cast<std::uint8_t>(value);
    switch (address) {
        case 0x128:
            fctl1_ = v & (kErase | kMeras | kWrt | kBlkwrt);
            if (v & kBlkwrt) mcu_.noteOnce("flash block write: written word by word");
            break;
        case 0x12A: fctl2_ = v; break;
        default:
            fctl3_ = static_cast<std::uint8_t>((v & (kKeyv | kAccvifg | kLock | 0x20)) | 0x08);
            break;
    }
}

std::uint64_t FlashController::generatorPs() const {
    std::uint64_t source;
    switch (fctl2_ >> 6) {
        case 0: source = periodPs(mcu_.clock().aclkHz()); break;
        case 1: source = periodPs(mcu_.clock().mclkHz()); break;
        default: source = periodPs(mcu_.clock().smclkHz()); break;
    }
    return source * ((fctl2_ & 0x3F) + 1u);
}

void FlashController::flashWrite(std::uint16_t address, std::uint16_t value, bool byte) {
    std::uint8_t* mem = mcu_.memory();
    if ((fctl3_ & kLock) || !(fctl1_ & (kErase | kMeras | kWrt))) {
        if (!(fctl3_ & kAccvifg)) {
            fctl3_ |= kAccvifg;
            mcu_.noteOnce("write to flash while the flash controller is locked: ignored");
            mcu_.requestsChanged();
        }
        return;
    }
    if (fctl1_ & (kErase | kMeras)) {
        std::uint32_t from, to;
        if (fctl1_ & kMeras) {
            from = (fctl1_ & kErase) ? 0x1000
                                     : std::max<std::uint32_t>(mcu_.chip().flashStart, 0x1100);
            to = 0x10000;
            mcu_.stallPs(kMassEraseCycles * generatorPs());
        } else {
            const std::uint32_t segment = address < 0x1100 ? 128 : 512;
            from = address & ~(segment - 1);
            to = from + segment;
            mcu_.stallPs(kSegmentEraseCycles * generatorPs());
        }
        if (fctl1_ & kMeras) {
            std::fill(mem + std::max<std::uint32_t>(from, mcu_.chip().flashStart), mem + to, 0xFF);
            if (from == 0x1000) std::fill(mem + 0x1000, mem + 0x1100, 0xFF);
        } else {
            std::fill(mem + from, mem + to, 0xFF);
        }
        fctl1_ &= static_cast<std::uint8_t>(~(kErase | kMeras));
        return;
    }
    mem[address] &= static_cast<std::uint8_t>(value);
    if (!byte) mem[address + 1] &= static_cast<std::uint8_t>(value >> 8);
    mcu_.stallPs(kWriteCycles * generatorPs());
}

std::uint16_t FlashController::requests() const {
    return ((fctl3_ & kAccvifg) && (mcu_.sfr(kIe1) & kAccvIe)) ? 1u << kVecNmi : 0;
}

}  // namespace sim::mcu
