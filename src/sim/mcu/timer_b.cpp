// Timer_B7. What sets it apart from Timer_A (the rest is timer.cpp): the compare blocks compare
// TBR with their latches TBCLx, which take the value written to TBCCRx at a load event the CLLD
// bits choose (alone or in the groups TBCLGRP forms), TBCL0 sets the period, and the counter may
// be 8, 10, 12 or 16 bits long.
//
// Like every Timer_B register, the counter and the latches keep their values through a PUC; only
// a power-on reset clears them. The outputs TB0-TB6 and the capture inputs CCIxA and CCIxB of
// TB0-TB5 are the pins P4.0-P4.6; CCI6B is ACLK, which no capture input follows on this board.
#include <algorithm>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

constexpr int kBlocks = 7;
constexpr std::uint16_t kTbiv = 0x011E, kTbctl = 0x0180, kTbcctl0 = 0x0182, kTbr = 0x0190,
                        kTbccr0 = 0x0192;

unsigned clld(std::uint16_t cctl) { return (cctl >> 9) & 3; }

}  // namespace

TimerB::TimerB(Mcu& mcu)
    : Timer(mcu, kBlocks, kVecTimerB0, kVecTimerB1, 14,
            "Timer_B counts TBCLK or INCLK: nothing drives them") {}

void TimerB::reset(bool powerOn) {
    if (!powerOn) return;  // a PUC leaves Timer_B as it is
    clearBlocks();
    for (int i = 0; i < kBlocks; ++i) {
        cl_[i] = 0;
        written_[i] = false;
    }
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

bool TimerB::outputRouted(int block) const { return mcu_.ports().timerBOutputRouted(block); }

void TimerB::showOutputs() { mcu_.ports().update(4, true); }

bool TimerB::captureInput(int block) const {
    switch ((cctl_[block] >> 12) & 3) {
        case 0: return mcu_.ports().input(4, block);               // CCIxA: P4.0-P4.6
        case 1: return block < 6 && mcu_.ports().input(4, block);  // CCIxB: the same pins
        case 2: return false;                                      // GND
        default: return true;                                      // VCC
    }
}

// The period moved below TBR: the count restarts from zero at the next tick.
bool TimerB::restartsFromZero() const { return count_ > top(); }

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

void TimerB::advance(std::uint64_t ticks) {
    if (ticks == 0 || period() == 0) return;
    if (restartsFromZero()) {
        count_ = 0;
        down_ = false;
        --ticks;
    }
    // Up to each load event, then on with the latches it loaded.
    while (ticks > 0 && period() != 0) {
        const std::uint64_t toLoad = ticksToNextLoad();
        const std::uint64_t step = std::min({ticks, toLoad, ticksToNextOutput()});
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

std::uint16_t TimerB::read(std::uint16_t address, bool) {
    if (address == kTbiv) return readVector();
    if (address == kTbctl) return ctl_;
    if (address == kTbr) return count_;
    if (address >= kTbcctl0 && address < kTbcctl0 + 2 * kBlocks)
        return readCctl((address - kTbcctl0) / 2);
    if (address >= kTbccr0 && address < kTbccr0 + 2 * kBlocks) return ccr_[(address - kTbccr0) / 2];
    return 0;
}

void TimerB::write(std::uint16_t address, std::uint16_t value, bool) {
    if (address == kTbctl) {
        writeCtl(value);
    } else if (address == kTbr) {
        writeCount(value);
    } else if (address >= kTbcctl0 && address < kTbcctl0 + 2 * kBlocks) {
        const int i = (address - kTbcctl0) / 2;
        writeCctl(i, value);
        if ((value & 0x0100) && ((value >> 12) & 3) == 1 && i == 6)  // CAP from CCI6B
            mcu_.noteOnce("Timer_B capture from CCI6B: nothing drives it on this board");
    } else if (address >= kTbccr0 && address < kTbccr0 + 2 * kBlocks) {
        const int i = (address - kTbccr0) / 2;
        ccr_[i] = value;
        written_[i] = true;
    }  // TBIV is read-only
    loadAtOnce();
    if (down_ && count_ > top()) down_ = false;
}

}  // namespace sim::mcu
