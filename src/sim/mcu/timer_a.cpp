// Timer_A: three capture/compare blocks that compare TAR with TACCRx, TACCR0 setting the period;
// outputs TA0-TA2 on the P1 and P2 pins PxSEL gives them, capture inputs on P1.1-P1.3 and P2.2.
// What it shares with Timer_B (the count's course, the output units, the captures) is timer.cpp.
#include <algorithm>
#include <string>

#include "sim/mcu/mcu.h"

namespace sim::mcu {

TimerA::TimerA(Mcu& mcu)
    : Timer(mcu, 3, kVecTimerA0, kVecTimerA1, 10,
            "Timer_A counts TACLK or INCLK: nothing drives them") {}

bool TimerA::outputRouted(int block) const { return mcu_.ports().timerOutputRouted(block); }

void TimerA::showOutputs() {
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

// TACCR0 moved below TAR in up mode: the count restarts from zero at the next tick.
bool TimerA::restartsFromZero() const { return mode() == 1 && count_ > ccr_[0]; }

// From output action to output action (the compare points whose output units show on a pin).
void TimerA::advance(std::uint64_t ticks) {
    if (ticks == 0 || period() == 0) return;
    while (ticks > 0) {
        const std::uint64_t step = std::min(ticks, ticksToNextOutput());
        std::uint64_t counted = step;
        if (restartsFromZero()) {
            count_ = 0;
            --counted;
        }
        if (counted > 0 && period() != 0) count(counted);
        ticks -= step;
        compareActions();
    }
}

std::uint16_t TimerA::read(std::uint16_t address, bool) {
    if (address == 0x12E) return readVector();  // TAIV
    if (address == 0x160) return ctl_;
    if (address == 0x170) return count_;
    if (address >= 0x162 && address <= 0x166) return readCctl((address - 0x162) / 2);
    if (address >= 0x172 && address <= 0x176) return ccr_[(address - 0x172) / 2];
    return 0;
}

void TimerA::write(std::uint16_t address, std::uint16_t value, bool) {
    if (address == 0x160) {
        writeCtl(value);
    } else if (address == 0x170) {
        writeCount(value);
    } else if (address >= 0x162 && address <= 0x166) {
        const int b = (address - 0x162) / 2;
        if ((value & 0x100) && ((value >> 12) & 3) == 1 && b != 0)  // CAP from CCI1B or CCI2B
            mcu_.noteOnce("Timer_A capture from CCI" + std::to_string(b) +
                          "B: nothing drives it on this board");
        writeCctl(b, value);
    } else if (address >= 0x172 && address <= 0x176) {
        ccr_[(address - 0x172) / 2] = value;
    }  // TAIV is read-only
    if (down_ && count_ > ccr_[0]) down_ = false;
}

}  // namespace sim::mcu
