// Timer_B7. The counter's course is kept as a position in one cycle of its count, as Timer_A's is,
// so that the flags any number of ticks sets follow from distances. What sets Timer_B apart: the
// compare blocks compare TBR with their latches TBCLx, which take the value written to TBCCRx at a
// load event the CLLD bits choose (alone or in the groups TBCLGRP forms), TBCL0 sets the period,
// and the counter may be 8, 10, 12 or 16 bits long.
//
// Like every Timer_B register, the counter and the latches keep their values through a PUC; only
// a power-on reset clears them. Capture works from the CCIS inputs GND and VCC, which firmware
// switches to capture TBR by software; the CCIxA/B pins are not driven on this board.
//
// An output unit whose pin shows it (TB0-TB6 on P4.0-P4.6) moves only where TBR meets a latch,
// which are then the timer's events, as Timer_A's output units move at its compare points.
#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint16_t {
    kTbifg = 0x0001,
    kTbie = 0x0002,
    kTbclr = 0x0004,
    kCcifg = 0x0001,
    kCov = 0x0002,
    kOut = 0x0004,
    kCci = 0x0008,
    kCcie = 0x0010,
    kCap = 0x0100,
};

constexpr std::uint16_t kTbiv = 0x011E, kTbctl = 0x0180, kTbcctl0 = 0x0182, kTbr = 0x0190,
                        kTbccr0 = 0x0192;

unsigned clld(std::uint16_t cctl) { return (cctl >> 9) & 3; }
unsigned outmod(std::uint16_t cctl) { return (cctl >> 5) & 7; }
// OUTMOD 2, 3, 6 and 7 also act when the count reaches TBCL0.
bool actsAtZeroCompare(unsigned mode) { return mode == 2 || mode == 3 || mode == 6 || mode == 7; }
// The level a capture block sees: CCIS 2 is GND, 3 VCC; the pins (0, 1) stay low.
bool captureInput(std::uint16_t cctl) { return ((cctl >> 12) & 3) == 3; }

}  // namespace

void TimerB::reset(bool powerOn) {
    if (!powerOn) return;  // a PUC leaves Timer_B as it is
    ctl_ = tbr_ = 0;
    for (int i = 0; i < kBlocks; ++i) {
        cctl_[i] = ccr_[i] = cl_[i] = 0;
        written_[i] = out_[i] = false;
    }
    down_ = false;
    lastPs_ = mcu_.nowPs();
}

unsigned TimerB::mode() const {
    const unsigned mc = (ctl_ >> 4) & 3;
    // A period beyond the counter's length: the counter runs as in continuous mode.
    if ((mc == 1 || mc == 3) && cl_[0] > maxCount()) return 2;
    return mc;
}

std::uint16_t TimerB::maxCount() const {
    static constexpr std::uint16_t kMax[4] = {0xFFFF, 0x0FFF, 0x03FF, 0x00FF};
    return kMax[(ctl_ >> 11) & 3];
}

std::uint16_t TimerB::top() const { return mode() == 2 ? maxCount() : cl_[0]; }

std::uint64_t TimerB::tickPs() const {
    std::uint64_t source;
    switch ((ctl_ >> 8) & 3) {
        case 1: source = mcu_.clock().aclkPs(); break;
        case 2: source = mcu_.clock().smclkPs(); break;
        default: source = 0; break;  // TBCLK and INCLK: nothing drives them on this board
    }
    return source << ((ctl_ >> 6) & 3);
}

std::uint32_t TimerB::period() const {
    switch (mode()) {
        case 1: return top() + 1u;
        case 2: return maxCount() + 1u;
        case 3: return 2u * top();
        default: return 0;
    }
}

std::uint32_t TimerB::position() const { return mode() == 3 && down_ ? 2u * top() - tbr_ : tbr_; }

void TimerB::setPosition(std::uint32_t p) {
    if (mode() == 3) {
        down_ = p > top();
        tbr_ = static_cast<std::uint16_t>(down_ ? 2u * top() - p : p);
    } else {
        tbr_ = static_cast<std::uint16_t>(p);
    }
}

std::uint64_t TimerB::ticksTo(std::uint32_t target) const {
    const std::uint32_t n = period();
    const std::uint32_t d = (target + n - position() % n) % n;
    return d ? d : n;
}

// Ticks until TBR next counts to `value` (kNever: it never does).
std::uint64_t TimerB::ticksToCount(std::uint16_t value) const {
    if (value > top()) return kNever;
    if (mode() != 3) return ticksTo(value);
    return std::min(ticksTo(value), ticksTo(2u * top() - value));
}

std::uint64_t TimerB::ticksToFlag(int flag) const {
    if (flag == kBlocks) return ticksTo(0);  // TBIFG
    if (cctl_[flag] & kCap) return kNever;
    return ticksToCount(cl_[flag]);
}

// The latch group of block `i` as [first, last] and the block whose CLLD bits rule it.
TimerB::Group TimerB::groupOf(int i) const {
    switch ((ctl_ >> 13) & 3) {
        case 1:
            if (i == 0) break;
            return {(i - 1) / 2 * 2 + 1, (i - 1) / 2 * 2 + 2, (i - 1) / 2 * 2 + 1};
        case 2:
            if (i == 0) break;
            return {i <= 3 ? 1 : 4, i <= 3 ? 3 : 6, i <= 3 ? 1 : 4};
        case 3: return {0, kBlocks - 1, 1};
        default: break;
    }
    return {i, i, i};
}

// Ticks until the group that starts at `first` loads its latches (kNever: it waits for writes).
std::uint64_t TimerB::ticksToLoad(int first) const {
    const Group g = groupOf(first);
    if (g.first != first) return kNever;
    for (int i = g.first; i <= g.last; ++i)
        if (!written_[i]) return kNever;
    switch (clld(cctl_[g.rule])) {
        case 1: return ticksTo(0);
        case 2: return mode() == 3 ? std::min(ticksTo(0), ticksTo(top())) : ticksTo(0);
        case 3: return ticksToCount(cl_[g.rule]);
        default: return kNever;  // loaded at once, by loadAtOnce()
    }
}

std::uint64_t TimerB::ticksToNextLoad() const {
    std::uint64_t ticks = kNever;
    for (int i = 0; i < kBlocks; ++i) ticks = std::min(ticks, ticksToLoad(i));
    return ticks;
}

// Groups whose rule loads at once (CLLD 0) take what was written to them now.
void TimerB::loadAtOnce() {
    for (int i = 0; i < kBlocks; ++i) {
        const Group g = groupOf(i);
        if (g.first == i && clld(cctl_[g.rule]) == 0)
            for (int k = g.first; k <= g.last; ++k)
                if (written_[k]) {
                    cl_[k] = ccr_[k];
                    written_[k] = false;
                }
    }
}

void TimerB::load(int first) {
    const Group g = groupOf(first);
    for (int i = g.first; i <= g.last; ++i) {
        cl_[i] = ccr_[i];
        written_[i] = false;
    }
}

void TimerB::count(std::uint64_t ticks) {
    for (int flag = 0; flag <= kBlocks; ++flag)
        if (ticksToFlag(flag) <= ticks) {
            if (flag == kBlocks)
                ctl_ |= kTbifg;
            else
                cctl_[flag] |= kCcifg;
        }
    setPosition(static_cast<std::uint32_t>((position() + ticks) % period()));
}

void TimerB::advance(std::uint64_t ticks) {
    if (ticks == 0 || period() == 0) return;
    if (tbr_ > top()) {  // the period moved below TBR: the count restarts from zero
        tbr_ = 0;
        down_ = false;
        --ticks;
    }
    // Up to each load event, then on with the latches it loaded.
    while (ticks > 0 && period() != 0) {
        const std::uint64_t toLoad = ticksToNextLoad();
        std::uint64_t step = std::min(ticks, toLoad);
        for (int b = 0; b < kBlocks; ++b)
            if (outputMoves(b)) step = std::min(step, ticksToOutput(b));
        int loading[kBlocks], n = 0;
        for (int i = 0; i < kBlocks; ++i)
            if (ticksToLoad(i) == step) loading[n++] = i;
        count(step);
        ticks -= step;
        compareActions();  // with the latches the count met, before a load replaces them
        if (step == toLoad)
            for (int k = 0; k < n; ++k) load(loading[k]);
    }
}

bool TimerB::outputMoves(int block) const {
    return !(cctl_[block] & kCap) && outmod(cctl_[block]) != 0 &&
           mcu_.ports().timerBOutputRouted(block);
}

std::uint64_t TimerB::ticksToOutput(int block) const {
    std::uint64_t ticks = ticksToCount(cl_[block]);
    if (actsAtZeroCompare(outmod(cctl_[block]))) ticks = std::min(ticks, ticksToCount(cl_[0]));
    return ticks;
}

void TimerB::compareActions() {
    const bool atZero = tbr_ == cl_[0];
    for (int b = 0; b < kBlocks; ++b) {
        if (!outputMoves(b)) continue;
        const unsigned mode = outmod(cctl_[b]);
        bool level = out_[b];
        if (tbr_ == cl_[b]) {  // EQUx
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

void TimerB::setOutput(int block, bool level) {
    if (out_[block] == level) return;
    out_[block] = level;
    mcu_.ports().update(4, true);
}

void TimerB::catchUp() {
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

std::uint64_t TimerB::nextEventPs() const {
    const std::uint64_t tick = tickPs();
    if (tick == 0 || period() == 0) return kNever;
    // A load changes when the flags come: it is an event of its own.
    std::uint64_t ticks = ticksToNextLoad();
    for (int flag = 0; flag < kBlocks; ++flag)
        if ((cctl_[flag] & kCcie) && !(cctl_[flag] & kCcifg))
            ticks = std::min(ticks, ticksToFlag(flag));
    if ((ctl_ & kTbie) && !(ctl_ & kTbifg)) ticks = std::min(ticks, ticksToFlag(kBlocks));
    for (int b = 0; b < kBlocks; ++b)
        if (outputMoves(b)) ticks = std::min(ticks, ticksToOutput(b));
    if (ticks == kNever) return kNever;
    if (tbr_ > top()) ++ticks;
    return lastPs_ + ticks * tick;
}

std::uint16_t TimerB::read(std::uint16_t address, bool) {
    if (address == kTbiv) {  // the highest enabled pending source; reading clears its flag
        for (int i = 1; i < kBlocks; ++i) {
            if ((cctl_[i] & (kCcie | kCcifg)) == (kCcie | kCcifg)) {
                cctl_[i] &= static_cast<std::uint16_t>(~kCcifg);
                mcu_.requestsChanged();
                return static_cast<std::uint16_t>(2 * i);
            }
        }
        if ((ctl_ & (kTbie | kTbifg)) == (kTbie | kTbifg)) {
            ctl_ &= static_cast<std::uint16_t>(~kTbifg);
            mcu_.requestsChanged();
            return 14;
        }
        return 0;
    }
    if (address == kTbctl) return ctl_;
    if (address == kTbr) return tbr_;
    if (address >= kTbcctl0 && address < kTbcctl0 + 2 * kBlocks)
        return cctl_[(address - kTbcctl0) / 2];
    if (address >= kTbccr0 && address < kTbccr0 + 2 * kBlocks) return ccr_[(address - kTbccr0) / 2];
    return 0;
}

void TimerB::writeCctl(int i, std::uint16_t value) {
    const std::uint16_t before = cctl_[i];
    cctl_[i] = static_cast<std::uint16_t>((value & ~kCci) | (captureInput(value) ? kCci : 0));
    if (outmod(value) == 0) setOutput(i, value & kOut);
    if (!(value & kCap)) return;
    if (((value >> 12) & 3) < 2)
        mcu_.noteOnce("Timer_B capture from a pin: no capture input is driven");
    const bool was = captureInput(before), is = captureInput(value);
    const unsigned cm = value >> 14;
    const bool edge = was != is && (((cm & 1) && is) || ((cm & 2) && !is));
    if (!edge) return;
    ccr_[i] = tbr_;
    if (cctl_[i] & kCcifg) cctl_[i] |= kCov;
    cctl_[i] |= kCcifg;
}

void TimerB::write(std::uint16_t address, std::uint16_t value, bool) {
    if (address == kTbctl) {
        ctl_ = value & static_cast<std::uint16_t>(~kTbclr);
        if (value & kTbclr) {
            lastPs_ = mcu_.nowPs();
            tbr_ = 0;
            down_ = false;
        }
        const unsigned source = (ctl_ >> 8) & 3;
        if ((source == 0 || source == 3) && ((ctl_ >> 4) & 3))
            mcu_.noteOnce("Timer_B counts TBCLK or INCLK: nothing drives them");
    } else if (address == kTbr) {
        lastPs_ = mcu_.nowPs();
        tbr_ = value & maxCount();
    } else if (address >= kTbcctl0 && address < kTbcctl0 + 2 * kBlocks) {
        writeCctl((address - kTbcctl0) / 2, value);
    } else if (address >= kTbccr0 && address < kTbccr0 + 2 * kBlocks) {
        const int i = (address - kTbccr0) / 2;
        ccr_[i] = value;
        written_[i] = true;
    }  // TBIV is read-only
    loadAtOnce();
    if (down_ && tbr_ > top()) down_ = false;
}

std::uint16_t TimerB::requests() const {
    std::uint16_t r = 0;
    if ((cctl_[0] & (kCcie | kCcifg)) == (kCcie | kCcifg)) r |= 1u << kVecTimerB0;
    for (int i = 1; i < kBlocks; ++i)
        if ((cctl_[i] & (kCcie | kCcifg)) == (kCcie | kCcifg)) r |= 1u << kVecTimerB1;
    if ((ctl_ & (kTbie | kTbifg)) == (kTbie | kTbifg)) r |= 1u << kVecTimerB1;
    return r;
}

void TimerB::accepted(int vector) {
    if (vector == kVecTimerB0) cctl_[0] &= static_cast<std::uint16_t>(~kCcifg);
}

}  // namespace sim::mcu
