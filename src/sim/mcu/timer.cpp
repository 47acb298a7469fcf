// The parts Timer_A and Timer_B share. The count's course through one cycle is kept as a position
// (in up/down mode the way down follows the way up), so that the flags a number of ticks sets
// follow from distances alone, however many ticks have passed since the last look. An output unit
// whose pin shows it moves only where the count meets a compare value, which are then the timer's
// events: the count is taken from point to point, and each point applies its block's OUTMOD action.
#include "sim/mcu/timer.h"

#include <algorithm>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint16_t {
    kIfg = 0x01,  // TAIFG, TBIFG
    kIe = 0x02,   // TAIE, TBIE
    kClr = 0x04,  // TACLR, TBCLR
    kCcifg = 0x01,
    kCov = 0x02,
    kOut = 0x04,
    kCci = 0x08,
    kCcie = 0x10,
    kCap = 0x100
};

unsigned outmod(std::uint16_t cctl) { return (cctl >> 5) & 7; }
// OUTMOD 2, 3, 6 and 7 also act when the count reaches block 0's compare value.
bool actsAtZeroCompare(unsigned mode) { return mode == 2 || mode == 3 || mode == 6 || mode == 7; }
bool pending(std::uint16_t reg, std::uint16_t enable, std::uint16_t flag) {
    return (reg & (enable | flag)) == (enable | flag);
}

}  // namespace

bool nextOutputLevel(unsigned mode, bool level, bool atCompare, bool atZero) {
    if (atCompare) {  // EQUx
        switch (mode) {
            case 1:
            case 3: level = true; break;
            case 5:
            case 7: level = false; break;
            default: level = !level; break;  // 2, 4, 6: toggle
        }
    }
    if (atZero && actsAtZeroCompare(mode)) level = mode == 6 || mode == 7;  // EQU0
    return level;
}

std::uint64_t Timer::tickPs() const {
    std::uint64_t source;
    switch ((ctl_ >> 8) & 3) {
        case 1: source = mcu_.clock().aclkPs(); break;
        case 2: source = mcu_.clock().smclkPs(); break;
        default: source = 0; break;  // the external clock and INCLK: nothing drives them
    }
    return source << ((ctl_ >> 6) & 3);
}

std::uint32_t Timer::period() const {
    switch (mode()) {
        case 1: return top() + 1u;
        case 2: return maxCount() + 1u;
        case 3: return 2u * top();
        default: return 0;
    }
}

std::uint32_t Timer::position() const {
    return mode() == 3 && down_ ? 2u * top() - count_ : count_;
}

void Timer::setPosition(std::uint32_t p) {
    if (mode() == 3) {
        down_ = p > top();
        count_ = static_cast<std::uint16_t>(down_ ? 2u * top() - p : p);
    } else {
        count_ = static_cast<std::uint16_t>(p);
    }
}

std::uint64_t Timer::ticksTo(std::uint32_t target) const {
    const std::uint32_t n = period();
    const std::uint32_t d = (target + n - position() % n) % n;
    return d ? d : n;
}

std::uint64_t Timer::ticksToCount(std::uint16_t value) const {
    if (value > top()) return kNever;
    if (mode() != 3) return ticksTo(value);
    return std::min(ticksTo(value), ticksTo(2u * top() - value));
}

std::uint64_t Timer::ticksToFlag(int flag) const {
    if (flag == blocks_) return ticksTo(0);
    if (cctl_[flag] & kCap) return kNever;
    return ticksToCount(compareValue(flag));
}

void Timer::count(std::uint64_t ticks) {
    for (int flag = 0; flag <= blocks_; ++flag)
        if (ticksToFlag(flag) <= ticks) {
            if (flag == blocks_)
                ctl_ |= kIfg;
            else
                cctl_[flag] |= kCcifg;
        }
    setPosition(static_cast<std::uint32_t>((position() + ticks) % period()));
}

bool Timer::outputMoves(int block) const {
    return !(cctl_[block] & kCap) && outmod(cctl_[block]) != 0 && outputRouted(block);
}

std::uint64_t Timer::ticksToOutput(int block) const {
    std::uint64_t ticks = ticksToCount(compareValue(block));
    if (actsAtZeroCompare(outmod(cctl_[block])))
        ticks = std::min(ticks, ticksToCount(compareValue(0)));
    return ticks;
}

std::uint64_t Timer::ticksToNextOutput() const {
    std::uint64_t ticks = kNever;
    for (int b = 0; b < blocks_; ++b)
        if (outputMoves(b)) ticks = std::min(ticks, ticksToOutput(b));
    return ticks;
}

void Timer::compareActions() {
    const bool atZero = count_ == compareValue(0);
    for (int b = 0; b < blocks_; ++b)
        if (outputMoves(b))
            setOutput(b, nextOutputLevel(outmod(cctl_[b]), out_[b], count_ == compareValue(b),
                                         b != 0 && atZero));
}

void Timer::setOutput(int block, bool level) {
    if (out_[block] == level) return;
    out_[block] = level;
    showOutputs();
}

void Timer::inputsChanged() {
    catchUp();
    for (int b = 0; b < blocks_; ++b) {
        const bool level = captureInput(b);
        const bool rising = level && !cci_[b], falling = !level && cci_[b];
        cci_[b] = level;
        const unsigned cm = cctl_[b] >> 14;
        if (!(cctl_[b] & kCap) || !((rising && (cm & 1)) || (falling && (cm & 2)))) continue;
        ccr_[b] = count_;
        if (cctl_[b] & kCcifg) cctl_[b] |= kCov;  // the last capture was not read in time
        cctl_[b] |= kCcifg;
        mcu_.requestsChanged();
    }
}

void Timer::catchUp() {
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

std::uint64_t Timer::nextEventPs() const {
    const std::uint64_t tick = tickPs();
    if (tick == 0 || period() == 0) return kNever;
    std::uint64_t ticks = ticksToNextLoad();  // a load changes when the flags come
    for (int flag = 0; flag < blocks_; ++flag)
        if ((cctl_[flag] & kCcie) && !(cctl_[flag] & kCcifg))
            ticks = std::min(ticks, ticksToFlag(flag));
    if ((ctl_ & kIe) && !(ctl_ & kIfg)) ticks = std::min(ticks, ticksToFlag(blocks_));
    ticks = std::min(ticks, ticksToNextOutput());
    if (ticks == kNever) return kNever;
    if (restartsFromZero()) ++ticks;
    return lastPs_ + ticks * tick;
}

void Timer::writeCtl(std::uint16_t value) {
    ctl_ = value & static_cast<std::uint16_t>(~kClr);
    if (value & kClr) {
        lastPs_ = mcu_.nowPs();
        count_ = 0;
        down_ = false;
    }
    const unsigned source = (ctl_ >> 8) & 3;
    if ((source == 0 || source == 3) && ((ctl_ >> 4) & 3)) mcu_.noteOnce(clockNote_);
}

void Timer::writeCount(std::uint16_t value) {
    lastPs_ = mcu_.nowPs();
    count_ = value & maxCount();
}

void Timer::writeCctl(int block, std::uint16_t value) {
    cctl_[block] = value & static_cast<std::uint16_t>(~kCci);  // CCI is an input
    if (outmod(cctl_[block]) == 0) setOutput(block, cctl_[block] & kOut);
    inputsChanged();  // a switch of CCIS is an edge: between GND and VCC, a capture by software
}

std::uint16_t Timer::readCctl(int block) const {
    return static_cast<std::uint16_t>(cctl_[block] | (cci_[block] ? kCci : 0));
}

std::uint16_t Timer::readVector() {
    for (int i = 1; i < blocks_; ++i) {
        if (pending(cctl_[i], kCcie, kCcifg)) {
            cctl_[i] &= static_cast<std::uint16_t>(~kCcifg);
            mcu_.requestsChanged();
            return static_cast<std::uint16_t>(2 * i);
        }
    }
    if (pending(ctl_, kIe, kIfg)) {
        ctl_ &= static_cast<std::uint16_t>(~kIfg);
        mcu_.requestsChanged();
        return overflowIv_;
    }
    return 0;
}

void Timer::clearBlocks() {
    ctl_ = count_ = 0;
    for (int i = 0; i < blocks_; ++i) {
        cctl_[i] = ccr_[i] = 0;
        out_[i] = cci_[i] = false;
    }
    down_ = false;
    lastPs_ = mcu_.nowPs();
}

std::uint16_t Timer::requests() const {
    std::uint16_t r = 0;
    if (pending(cctl_[0], kCcie, kCcifg)) r |= static_cast<std::uint16_t>(1u << vector0_);
    bool others = pending(ctl_, kIe, kIfg);
    for (int i = 1; i < blocks_; ++i) others = others || pending(cctl_[i], kCcie, kCcifg);
    if (others) r |= static_cast<std::uint16_t>(1u << vector1_);
    return r;
}

void Timer::accepted(int vector) {
    if (vector == vector0_) cctl_[0] &= static_cast<std::uint16_t>(~kCcifg);
}

}  // namespace sim::mcu
