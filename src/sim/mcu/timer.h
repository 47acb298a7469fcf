// What Timer_A and Timer_B have in common: the count's clock and its course through one cycle,
// the capture/compare blocks' flags, output units (OUTMOD) and capture edges, the interrupt vector
// register and the requests. Each timer adds what is its own: where the count turns, what a block
// compares the count with, the pins its outputs and capture inputs have, and its registers' map.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "sim/mcu/peripheral.h"

namespace sim::mcu {

// The level an output unit in OUTMOD `mode` takes from `level` where the count meets its own
// compare value (atCompare, EQUx) and, for blocks other than 0, block 0's (atZero, EQU0).
bool nextOutputLevel(unsigned mode, bool level, bool atCompare, bool atZero);

class Timer : public Peripheral {
public:
    void catchUp() override;
    std::uint64_t nextEventPs() const override;
    void event() override { catchUp(); }
    std::uint16_t requests() const override;
    void accepted(int vector) override;

    bool output(int block) const { return out_[block]; }
    // A capture input may have changed: captures on the edges each block's CM selects.
    void inputsChanged();

protected:
    static constexpr int kMaxBlocks = 7;
    // `clockNote`: told when the count runs from the external clocks nothing drives.
    Timer(Mcu& mcu, int blocks, int vector0, int vector1, std::uint16_t overflowIv,
          std::string clockNote)
        : Peripheral(mcu),
          blocks_(blocks),
          vector0_(vector0),
          vector1_(vector1),
          overflowIv_(overflowIv),
          clockNote_(std::move(clockNote)) {}

    virtual unsigned mode() const = 0;  // MC as the counter runs it
    // Where the count turns (the largest count when it runs continuously).
    virtual std::uint16_t top() const = 0;
    virtual std::uint16_t maxCount() const { return 0xFFFF; }
    virtual std::uint16_t compareValue(int block) const = 0;
    virtual bool outputRouted(int block) const = 0;  // a pin shows the output
    virtual void showOutputs() = 0;                  // the output levels changed: to the pins
    virtual bool captureInput(int block) const = 0;  // the level CCIS selects
    virtual void advance(std::uint64_t ticks) = 0;
    // The count stands beyond its turn: it is 0 at the next tick.
    virtual bool restartsFromZero() const = 0;
    virtual std::uint64_t ticksToNextLoad() const { return kNever; }

    std::uint64_t tickPs() const;
    std::uint32_t period() const;                           // positions per cycle of the count
    std::uint32_t position() const;                         // where in the cycle the count stands
    void setPosition(std::uint32_t p);                      // and the count from it
    std::uint64_t ticksTo(std::uint32_t target) const;      // ticks until the position is `target`
    std::uint64_t ticksToCount(std::uint16_t value) const;  // kNever: the count never gets there
    std::uint64_t ticksToFlag(int flag) const;  // 0..blocks-1 a compare block, blocks the overflow
    void count(std::uint64_t ticks);            // sets the flags the ticks pass, moves the count
    bool outputMoves(int block) const;          // an OUTMOD that acts and a pin that shows it
    std::uint64_t ticksToOutput(int block) const;
    std::uint64_t ticksToNextOutput() const;
    void compareActions();  // the output units at the count reached
    void setOutput(int block, bool level);

    // Register accesses both timers handle alike.
    void writeCtl(std::uint16_t value);
    void writeCount(std::uint16_t value);
    void writeCctl(int block, std::uint16_t value);
    std::uint16_t readCctl(int block) const;
    std::uint16_t readVector();  // the highest enabled pending source; reading clears its flag
    void clearBlocks();

    const int blocks_;
    std::uint16_t ctl_ = 0, count_ = 0;
    std::uint16_t cctl_[kMaxBlocks] = {}, ccr_[kMaxBlocks] = {};
    bool out_[kMaxBlocks] = {}, cci_[kMaxBlocks] = {};
    bool down_ = false;
    std::uint64_t lastPs_ = 0;

private:
    const int vector0_, vector1_;
    const std::uint16_t overflowIv_;
    const std::string clockNote_;
};

}  // namespace sim::mcu
