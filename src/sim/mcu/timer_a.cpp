// Timer_A. TAR's course through one cycle of its count is kept as a position (in up/down mode the
// way down follows the way up), so that the flags a number of ticks sets follow from distances
// alone, however many ticks have passed since the last look. An output unit whose pin shows it
// moves only at compare points, which are then the timer's events: the count is taken from point
// to point, and each point applies its block's OUTMOD action.
#include <algorithm>
#include <string>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint16_t {
    kTaifg = 0x01,
    kTaie = 0x02,
    kTaclr = 0x04,
    kCcifg = 0x01,
    kCov = 0x02,
    kOut = 0x04,
    kCci = 0x08,
    kCcie = 0x10,
    kCap = 0x100
};

unsigned outmod(std::uint16_t cctl) { return (cctl >> 5) & 7; }
// OUTMOD 2, 3, 6 and 7 also act when the count reaches TACCR0.
bool actsAtZeroCompare(unsigned mode) { return mode == 2 || mode == 3 || mode == 6 || mode == 7; }

}  // namespace

void TimerA::reset(bool) {
    ctl_ = tar_ = 0;
    for (int i = 0; i < 3; ++i) cctl_[i] = ccr_[i] = 0, out_[i] = cci_[i] = false;
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

void TimerA::advanceCount(std::uint64_t ticks) {
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

bool TimerA::outputMoves(int block) const {
    return !(cctl_[block] & kCap) && outmod(cctl_[block]) != 0 &&
           mcu_.ports().timerOutputRouted(block);
}

std::uint64_t TimerA::ticksToOutput(int block) const {
    std::uint64_t ticks = ticksToFlag(block);
    if (actsAtZeroCompare(outmod(cctl_[block]))) ticks = std::min(ticks, ticksToFlag(0));
    return ticks;
}

void TimerA::advance(std::uint64_t ticks) {
    if (ticks == 0 || period() == 0) return;
    while (ticks > 0) {
        std::uint64_t step = ticks;
        for (int b = 0; b < 3; ++b)
            if (outputMoves(b)) step = std::min(step, ticksToOutput(b));
        advanceCount(step);
        ticks -= step;
        compareActions();
    }
}

void TimerA::compareActions() {
    const bool atZero = tar_ == ccr_[0];
    for (int b = 0; b < 3; ++b) {
        if (!outputMoves(b)) continue;
        const unsigned mode = outmod(cctl_[b]);
        bool level = out_[b];
        if (tar_ == ccr_[b]) {  // EQUx
            switch (mode) {
                case 1:
                case 3: level = true; break;
                case 5:
                case 7: level = false; break;
                default: level = !level; break;  // 2, 4, 6: toggle
            }
        }
        if (b != 0 && atZero && actsAtZeroCompare(mode)) level = mode == 6 || mode == 7;  // EQU0
        setOutput(b, level);
    }
}

void TimerA::setOutput(int block, bool level) {
    if (out_[block] == level) return;
    out_[block] = level;
    mcu_.ports().update(1, true);
    mcu_.ports().update(2, true);
}

bool TimerA::captureInput(int block) const {
    switch ((cctl_[block] >> 12) & 3) {
        case 0: return mcu_.ports().input(1, block + 1);        // CCIxA: P1.1, P1.2, P1.3
        case 1: return block == 0 && mcu_.ports().input(2, 2);  // CCI0B: P2.2
        case 2: return false;                                   // GND
        default: return true;                                   // VCC
    }
}

void TimerA::inputsChanged() {
    catchUp();
    for (int b = 0; b < 3; ++b) {
        const bool level = captureInput(b);
        const bool rising = level && !cci_[b], falling = !level && cci_[b];
        cci_[b] = level;
        const unsigned cm = cctl_[b] >> 14;
        if (!(cctl_[b] & kCap) || !((rising && (cm & 1)) || (falling && (cm & 2)))) continue;
        ccr_[b] = tar_;
        if (cctl_[b] & kCcifg) cctl_[b] |= kCov;  // the last capture was not read in time
        cctl_[b] |= kCcifg;
        mcu_.requestsChanged();
    }
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
    for (int b = 0; b < 3; ++b)
        if (outputMoves(b)) ticks = std::min(ticks, ticksToOutput(b));
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
            if (address >= 0x162 && address <= 0x166) {
                const int b = (address - 0x162) / 2;
                return static_cast<std::uint16_t>(cctl_[b] | (cci_[b] ? kCci : 0));
            }
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
                const int b = (address - 0x162) / 2;
                cctl_[b] = value & static_cast<std::uint16_t>(~kCci);  // CCI is an input
                if ((value & kCap) && ((value >> 12) & 3) == 1 && b != 0)
                    mcu_.noteOnce("Timer_A capture from CCI" + std::to_string(b) +
                                  "B: nothing drives it on this board");
                if (outmod(cctl_[b]) == 0) setOutput(b, cctl_[b] & kOut);
                inputsChanged();  // a switch between GND and VCC captures by software
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
