// Timer_A. TAR's course through one cycle of its count is kept as a position (in up/down mode the
// way down follows the way up), so that the flags a number of ticks sets follow from distances
// alone, however many ticks have passed since the last look.
#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint16_t {
    kTaifg = 0x01,
    kTaie = 0x02,
    kTaclr = 0x04,
    kCcifg = 0x01,
    kCcie = 0x10,
    kCap = 0x100
};

}  // namespace

void TimerA::reset(bool) {
    ctl_ = tar_ = 0;
    for (int i = 0; i < 3; ++i) cctl_[i] = ccr_[i] = 0;
    down_ = false;
    lastPs_ = mcu_.nowPs();
}

std::uint64_t TimerA::tickPs() const {
    std::uint64_t source;
    switch ((ctl_ >> 8) & 3) {
        case 1: source = mcu_.clock().aclkPs(); break;
        case 2: source = mcu_.clock().smclkPs(); break;
        default: source = 0; break;  // TACLK and INCLK: nothing drives them on this board
    }
    return source << ((ctl_ >> 6) & 3);
}

std::uint32_t TimerA::period() const {
    switch ((ctl_ >> 4) & 3) {
        case 1: return ccr_[0] + 1u;
        case 2: return 0x10000;
        case 3: return 2u * ccr_[0];
        default: return 0;
    }
}

std::uint32_t TimerA::position() const {
    return ((ctl_ >> 4) & 3) == 3 && down_ ? 2u * ccr_[0] - tar_ : tar_;
}

void TimerA::setPosition(std::uint32_t p) {
    if (((ctl_ >> 4) & 3) == 3) {
        down_ = p > ccr_[0];
        tar_ = static_cast<std::uint16_t>(down_ ? 2u * ccr_[0] - p : p);
    } else {
        tar_ = static_cast<std::uint16_t>(p);
    }
}

std::uint64_t TimerA::ticksTo(std::uint32_t target) const {
    const std::uint32_t n = period();
    const std::uint32_t d = (target + n - position() % n) % n;
    return d ? d : n;
}

std::uint64_t TimerA::ticksToFlag(int flag) const {
    const unsigned mode = (ctl_ >> 4) & 3;
    if (flag == 3) return ticksTo(0);
    if (flag == 0 || mode == 2) return ticksTo(ccr_[flag]);
    if (ccr_[flag] > ccr_[0]) return kNever;
    if (mode == 1) return ticksTo(ccr_[flag]);
    return std::min(ticksTo(ccr_[flag]), ticksTo(2u * ccr_[0] - ccr_[flag]));
}

void TimerA::advance(std::uint64_t ticks) {
    const unsigned mode = (ctl_ >> 4) & 3;
    if (ticks == 0 || period() == 0) return;
    if (mode == 1 && tar_ > ccr_[0]) {  // TACCR0 moved below TAR: the count restarts from zero
        tar_ = 0;
        if (--ticks == 0) return;
    }
    for (int flag = 0; flag < 3; ++flag)
        if (!(cctl_[flag] & kCap) && ticksToFlag(flag) <= ticks) cctl_[flag] |= kCcifg;
    if (ticksToFlag(3) <= ticks) ctl_ |= kTaifg;
    setPosition(static_cast<std::uint32_t>((position() + ticks) % period()));
}

void TimerA::catchUp() {
    const std::uint64_t now = mcu_.nowPs();
    const std::uint64_t tick = tickPs();
    if (tick == 0 || period() == 0 || now < lastPs_) {
        lastPs_ = std::max(lastPs_, now);
        return;
    }
    const std::uint64_t ticks = (now - lastPs_) / tick;
    lastPs_ += ticks * tick;
    advance(ticks);
}

std::uint64_t TimerA::nextEventPs() const {
    const std::uint64_t tick = tickPs();
    if (tick == 0 || period() == 0) return kNever;
    std::uint64_t ticks = kNever;
    for (int flag = 0; flag < 3; ++flag)
        if ((cctl_[flag] & kCcie) && !(cctl_[flag] & kCcifg))
            ticks = std::min(ticks, ticksToFlag(flag));
    if ((ctl_ & kTaie) && !(ctl_ & kTaifg)) ticks = std::min(ticks, ticksToFlag(3));
    if (ticks == kNever) return kNever;
    if (((ctl_ >> 4) & 3) == 1 && tar_ > ccr_[0]) ++ticks;
    return lastPs_ + ticks * tick;
}

std::uint16_t TimerA::read(std::uint16_t address, bool) {
    switch (address) {
        case 0x12E: {  // TAIV: the highest enabled pending source; reading clears its flag
            for (int i = 1; i < 3; ++i) {
                if ((cctl_[i] & (kCcie | kCcifg)) == (kCcie | kCcifg)) {
                    cctl_[i] &= static_cast<std::uint16_t>(~kCcifg);
                    mcu_.requestsChanged();
                    return static_cast<std::uint16_t>(2 * i);
                }
            }
            if ((ctl_ & (kTaie | kTaifg)) == (kTaie | kTaifg)) {
                ctl_ &= static_cast<std::uint16_t>(~kTaifg);
                mcu_.requestsChanged();
                return 10;
            }
            return 0;
        }
        case 0x160: return ctl_;
        case 0x170: return tar_;
        default:
            if (address >= 0x162 && address <= 0x166) return cctl_[(address - 0x162) / 2];
            if (address >= 0x172 && address <= 0x176) return ccr_[(address - 0x172) / 2];
            return 0;
    }
}

void TimerA::write(std::uint16_t address, std::uint16_t value, bool) {
    switch (address) {
        case 0x12E: break;  // TAIV is read-only
        case 0x160:
            ctl_ = value & static_cast<std::uint16_t>(~kTaclr);
            if (value & kTaclr) {
                lastPs_ = mcu_.nowPs();
                tar_ = 0;
                down_ = false;
            }
            if (((ctl_ >> 8) & 3) == 0 || ((ctl_ >> 8) & 3) == 3)
                if ((ctl_ >> 4) & 3)
                    mcu_.noteOnce("Timer_A counts TACLK or INCLK: nothing drives them");
            break;
        case 0x170:
            lastPs_ = mcu_.nowPs();
            tar_ = value;
            break;
        default:
            if (address >= 0x162 && address <= 0x166) {
                cctl_[(address - 0x162) / 2] =
                    value & static_cast<std::uint16_t>(~0x0008);  // CCI is an input
                if (value & kCap) mcu_.noteOnce("Timer_A capture mode: no capture input is driven");
            } else if (address >= 0x172 && address <= 0x176) {
                ccr_[(address - 0x172) / 2] = value;
            }
            break;
    }
    if (down_ && tar_ > ccr_[0]) down_ = false;
}

std::uint16_t TimerA::requests() const {
    std::uint16_t r = 0;
    if ((cctl_[0] & (kCcie | kCcifg)) == (kCcie | kCcifg)) r |= 1u << kVecTimerA0;
    if ((cctl_[1] & (kCcie | kCcifg)) == (kCcie | kCcifg) ||
        (cctl_[2] & (kCcie | kCcifg)) == (kCcie | kCcifg) ||
        (ctl_ & (kTaie | kTaifg)) == (kTaie | kTaifg))
        r |= 1u << kVecTimerA1;
    return r;
}

void TimerA::accepted(int vector) {
    if (vector == kVecTimerA0) cctl_[0] &= static_cast<std::uint16_t>(~kCcifg);
}

}  // namespace sim::mcu
