// The watchdog timer. It counts its clock from reset; in watchdog mode the end of an interval
// resets the chip, in interval mode it sets WDTIFG. Every write needs the password 0x5A in the
// high byte, and a write without it resets the chip.
#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint8_t { kHold = 0x80, kIntervalMode = 0x10, kCounterClear = 0x08, kAclk = 0x04 };
constexpr std::uint64_t kIntervals[4] = {32768, 8192, 512, 64};

}  // namespace

void Watchdog::reset(bool) {
    ctl_ = 0;
    count_ = 0;
    lastPs_ = mcu_.nowPs();
}

std::uint64_t Watchdog::sourcePs() const {
    if (ctl_ & kHold) return 0;
    return (ctl_ & kAclk) ? mcu_.clock().aclkPs() : mcu_.clock().smclkPs();
}

std::uint64_t Watchdog::interval() const { return kIntervals[ctl_ & 3]; }

void Watchdog::catchUp() {
    const std::uint64_t now = mcu_.nowPs();
    const std::uint64_t period = sourcePs();
    if (period == 0 || now < lastPs_) {
        lastPs_ = std::max(lastPs_, now);
        return;
    }
    const std::uint64_t ticks = (now - lastPs_) / period;
    lastPs_ += ticks * period;
    const std::uint64_t before = count_ / interval();
    count_ += ticks;
    if (count_ / interval() == before) return;
    if (ctl_ & kIntervalMode) {
        mcu_.setSfrBits(kIfg1, kWdtIfg);
    } else {
        mcu_.setSfrBits(kIfg1, kWdtIfg);
        mcu_.requestReset("watchdog time-out");
    }
}

std::uint64_t Watchdog::nextEventPs() const {
    const std::uint64_t period = sourcePs();
    if (period == 0) return kNever;
    return lastPs_ + (interval() - count_ % interval()) * period;
}

std::uint16_t Watchdog::read(std::uint16_t, bool) { return 0x6900 | ctl_; }

void Watchdog::write(std::uint16_t, std::uint16_t value, bool byte) {
    if (byte || (value >> 8) != 0x5A) {
        mcu_.setSfrBits(kIfg1, kWdtIfg);
        mcu_.requestReset("watchdog written without its password");
        return;
    }
    ctl_ = static_cast<std::uint8_t>(value & ~kCounterClear);
    lastPs_ = mcu_.nowPs();
    if (value & kCounterClear) count_ = 0;
}

std::uint16_t Watchdog::requests() const {
    const bool pending =
        (ctl_ & kIntervalMode) && (mcu_.sfr(kIfg1) & kWdtIfg) && (mcu_.sfr(kIe1) & 0x01);
    return pending ? 1u << kVecWatchdog : 0;
}

void Watchdog::accepted(int vector) {
    if (vector == kVecWatchdog) mcu_.clearSfrBits(kIfg1, kWdtIfg);
}

}  // namespace sim::mcu
