// The peripherals of the virtual board's chip, each implemented in a file of its own
// (basic_clock.cpp, watchdog.cpp, timer_a.cpp, timer_b.cpp with what the two share in timer.cpp,
// usart.cpp, ports.cpp, multiplier.cpp, flash_controller.cpp, adc12.cpp), with the registers and
// reset values the F1xx family has.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/line_format.h"
#include "sim/mcu/analog_input.h"
#include "sim/mcu/peripheral.h"
#include "sim/mcu/timer.h"

namespace sim::mcu {

// Picoseconds per period of a clock of `hz` (0: stopped).
inline std::uint64_t periodPs(std::uint64_t hz) {
    return hz ? (1000000000000ull + hz / 2) / hz : 0;
}

// The DCO's typical frequency for a DCOCTL and BCSCTL1 setting.
std::uint32_t dcoFrequencyHz(std::uint8_t dcoctl, std::uint8_t bcsctl1);

// DCOCTL, BCSCTL1, BCSCTL2: the DCO, LFXT1 (a 32768 Hz crystal), XT2 (when the board has one),
// and MCLK, SMCLK and ACLK with their sources and dividers. A clock the status register's
// low-power bits stop has period 0.
class BasicClock final : public Peripheral {
public:
    BasicClock(Mcu& mcu, std::uint32_t xt2Hz) : Peripheral(mcu), xt2Hz_(xt2Hz) {}
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;

    std::uint32_t dcoHz() const;
    // Frequencies as the sources and dividers give them, whether stopped or not.
    std::uint32_t mclkHz() const;
    std::uint32_t smclkHz() const;
    std::uint32_t aclkHz() const;
    // Periods in picoseconds with the status register's low-power bits applied (0: stopped).
    std::uint64_t mclkPs() const;  // while the CPU runs
    std::uint64_t smclkPs() const;
    std::uint64_t aclkPs() const;
    // An oscillator that is switched on but missing (XT2 without a crystal).
    bool oscillatorFault() const;

private:
    std::uint32_t xt2Hz_;
    std::uint8_t dcoctl_ = 0x60, bcsctl1_ = 0x84, bcsctl2_ = 0;
};

// WDTCTL: watchdog or interval timer from SMCLK or ACLK; a wrong password or a time-out in
// watchdog mode resets the chip.
class Watchdog final : public Peripheral {
public:
    using Peripheral::Peripheral;
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;
    void catchUp() override;
    std::uint64_t nextEventPs() const override;
    void event() override { catchUp(); }
    std::uint16_t requests() const override;
    void accepted(int vector) override;

private:
    std::uint64_t sourcePs() const;
    std::uint64_t interval() const;
    std::uint8_t ctl_ = 0;
    std::uint64_t count_ = 0;
    std::uint64_t lastPs_ = 0;
};

// Timer_A with three capture/compare blocks: TACTL, TAR, TACCTL0-2, TACCR0-2 and TAIV; stop, up,
// continuous and up/down counting; the output units (OUTMOD) on the pins the ports give them and
// captures from the pins, from GND/VCC switched by software.
class TimerA final : public Timer {
public:
    explicit TimerA(Mcu& mcu);
    void reset(bool) override { clearBlocks(); }  // PUC and power-on alike
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;

private:
    unsigned mode() const override { return (ctl_ >> 4) & 3; }
    std::uint16_t top() const override { return mode() == 2 ? 0xFFFF : ccr_[0]; }
    std::uint16_t compareValue(int block) const override { return ccr_[block]; }
    bool restartsFromZero() const override;
    void advance(std::uint64_t ticks) override;
    bool captureInput(int block) const override;
    bool outputRouted(int block) const override;
    void showOutputs() override;
};

// Timer_B7: TBCTL, TBR, TBCCTL0-6, TBCCR0-6 and TBIV, with the compare latches TBCL0-6 and their
// load events and groups; stop, up, continuous and up/down counting over 8, 10, 12 or 16 bits;
// the output units (OUTMOD) and the capture inputs on the P4 pins.
class TimerB final : public Timer {
public:
    explicit TimerB(Mcu& mcu);
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;

private:
    struct Group {
        int first, last, rule;  // the latches loaded together, and whose CLLD bits decide when
    };
    unsigned mode() const override;
    std::uint16_t maxCount() const override;
    std::uint16_t top() const override;
    std::uint16_t compareValue(int block) const override { return cl_[block]; }
    bool outputRouted(int block) const override;
    void showOutputs() override;
    bool captureInput(int block) const override;
    bool restartsFromZero() const override;
    std::uint64_t ticksToNextLoad() const override;
    void advance(std::uint64_t ticks) override;
    Group groupOf(int i) const;
    std::uint64_t ticksToLoad(int first) const;
    void loadAtOnce();
    void load(int first);
    std::uint16_t cl_[kMaxBlocks] = {};
    bool written_[kMaxBlocks] = {};  // TBCCRx written since its latch last loaded
};

// The ADC12: ADC12CTL0/1, ADC12IFG, ADC12IE, ADC12IV, ADC12MCTL0-15 and ADC12MEM0-15, converting
// the board's analog inputs (setInput) in the four conversion modes.
class Adc12 final : public Peripheral {
public:
    using Peripheral::Peripheral;
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;
    void catchUp() override;
    std::uint64_t nextEventPs() const override;
    void event() override { catchUp(); }
    std::uint16_t requests() const override;
    void setInput(int channel, const AnalogInput& input);

private:
    enum class Phase { Idle, Sampling, Converting, Waiting };  // Waiting: for the next ADC12SC
    std::uint64_t clockPs() const;
    std::uint64_t afterCycles(std::uint64_t from, std::uint64_t cycles);
    double inputMv(unsigned inch, std::uint64_t ps) const;
    std::uint16_t convert(unsigned mctl, std::uint64_t ps);
    void startSample(std::uint64_t ps);
    void startConversion(std::uint64_t ps);
    void finishConversion(std::uint64_t ps);
    void trigger();
    void writeCtl0(std::uint16_t value);
    std::uint16_t vector(bool clear);
    std::uint16_t ctl0_ = 0, ctl1_ = 0, ifg_ = 0, ie_ = 0;
    std::uint8_t mctl_[16] = {};
    std::uint16_t mem_[16] = {};
    bool overflow_ = false, timeOverflow_ = false;
    Phase phase_ = Phase::Idle;
    unsigned current_ = 0;  // the memory register being filled
    std::uint16_t held_ = 0;
    std::uint64_t phaseEndPs_ = kNever;
    AnalogInput inputs_[kAnalogChannels] = {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {25, 25}};
};

// A USART in UART mode: UxCTL, UxTCTL, UxRCTL, UxMCTL, UxBR0/1, UxRXBUF, UxTXBUF, with its
// enables, flags and interrupt enables in the special function registers.
class Usart final : public Peripheral {
public:
    Usart(Mcu& mcu, int index) : Peripheral(mcu), index_(index) {}
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;
    std::uint64_t nextEventPs() const override { return shifting_ ? shiftEndPs_ : kNever; }
    void event() override;
    std::uint16_t requests() const override;
    void accepted(int vector) override;

    platform::LineFormat format() const;
    bool active() const;  // out of reset with a receiver or transmitter enabled
    void receive(std::optional<std::uint8_t> byte);
    void clocksChanged();

private:
    std::uint64_t bitPs() const;
    void startShift();
    std::uint16_t sfrIe() const { return index_ ? 0x01 : 0x00; }
    std::uint16_t sfrIfg() const { return index_ ? 0x03 : 0x02; }
    std::uint16_t sfrMe() const { return index_ ? 0x05 : 0x04; }
    std::uint8_t rxBit() const { return index_ ? 0x10 : 0x40; }
    std::uint8_t txBit() const { return index_ ? 0x20 : 0x80; }
    int index_;
    std::uint8_t ctl_ = 1, tctl_ = 1, rctl_ = 0, mctl_ = 0, br0_ = 0, br1_ = 0;
    std::uint8_t rxbuf_ = 0, txbuf_ = 0;
    bool txPending_ = false;  // a byte waits in UxTXBUF
    bool shifting_ = false;
    std::uint64_t shiftEndPs_ = 0;
};

// Ports P1-P6: PxIN, PxOUT, PxDIR, PxSEL and, on P1 and P2, PxIFG, PxIES and PxIE. Pins that are
// not outputs read as the board drives them: low unless driven, but for the UART receive pins,
// which idle high. Timer_A's outputs reach the P1 and P2 pins that PxSEL and PxDIR give them,
// Timer_B's outputs TB0-TB6 the pins P4.0-P4.6, which are also its capture inputs.
class Ports final : public Peripheral {
public:
    using Peripheral::Peripheral;
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;
    std::uint16_t requests() const override;
    std::uint8_t sel(int port) const { return sel_[port - 1]; }
    std::uint8_t out(int port) const { return out_[port - 1]; }
    std::uint8_t dir(int port) const { return dir_[port - 1]; }
    std::uint8_t levels(int port) const;
    bool input(int port, int bit) const;  // the pin's level as a module input sees it
    // The board drives an input pin (port 1..6, bit 0..7) high or low.
    void drive(int port, int bit, bool high);
    // Whether a pin carries Timer_A output `block` (0..2), Timer_B output `block` (0..6).
    bool timerOutputRouted(int block) const;
    bool timerBOutputRouted(int block) const;
    // Recomputes a port's levels and reports a change; `edges`: as the pins see it (flags, trace).
    void update(int port, bool edges);

private:
    std::uint8_t timerPins(int port) const;  // pins that carry a Timer_A output
    std::uint8_t out_[6] = {}, dir_[6] = {}, sel_[6] = {};
    std::uint8_t ifg_[2] = {}, ies_[2] = {}, ie_[2] = {};
    std::uint8_t input_[6] = {0, 0, 0xA0, 0, 0, 0};  // P3.5 and P3.7 receive: idle high
    std::uint8_t shown_[6] = {};                     // the levels last reported
};

// The hardware multiplier: MPY, MPYS, MAC, MACS, OP2, RESLO, RESHI, SUMEXT.
class Multiplier final : public Peripheral {
public:
    using Peripheral::Peripheral;
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;

private:
    std::uint16_t op1_ = 0, op2_ = 0, reslo_ = 0, reshi_ = 0, sumext_ = 0;
    int mode_ = 0;  // 0 MPY, 1 MPYS, 2 MAC, 3 MACS
};

// FCTL1-3: erasing and writing the flash from firmware, behind the 0xA5 key and the lock.
class FlashController final : public Peripheral {
public:
    using Peripheral::Peripheral;
    void reset(bool powerOn) override;
    std::uint16_t read(std::uint16_t address, bool byte) override;
    void write(std::uint16_t address, std::uint16_t value, bool byte) override;
    std::uint16_t requests() const override;
    // The CPU writes to flash memory.
    void flashWrite(std::uint16_t address, std::uint16_t value, bool byte);

private:
    std::uint64_t generatorPs() const;
    std::uint8_t fctl1_ = 0, fctl2_ = 0x42, fctl3_ = 0x18;
};

}  // namespace sim::mcu
