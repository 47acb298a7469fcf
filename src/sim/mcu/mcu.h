// The microcontroller on the virtual board: the CPU, its memory map, the special function
// registers and the peripherals, on a time base of picoseconds. The owner runs it up to a time,
// asks when it next has something to do, hands it the bytes the host sends and hears what it
// transmits, which format its serial line has and what it wants traced.
//
// The CPU executes instructions back to back; a peripheral's counters are brought up to date only
// when the CPU reads it, when a clock changes or when its next event is due, so that a sleeping
// chip costs nothing until that event.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/line_format.h"
#include "sim/chip.h"
#include "sim/mcu/cpu.h"
#include "sim/mcu/peripheral.h"
#include "sim/mcu/peripherals.h"

namespace sim::mcu {

constexpr std::uint64_t kPsPerNs = 1000;

// How the chip reaches its board.
class McuHooks {
public:
    virtual ~McuHooks() = default;
    // A character starts on the host's serial line at `startPs`.
    virtual void transmit(std::uint64_t startPs, std::uint8_t byte,
                          const platform::LineFormat& format) = 0;
    // The USART wired to the host now sends and receives in `format`.
    virtual void formatChanged(std::uint64_t ps, const platform::LineFormat& format) = 0;
    virtual void traceEvent(std::uint64_t ps, const std::string& text) = 0;
    // The levels of a port's pins (port 1..6, bit n for Pport.n) changed.
    virtual void pinsChanged(std::uint64_t /*ps*/, int /*port*/, std::uint8_t /*levels*/) {}
    // An event told once (noteOnce) has come again; a trace that counts repeats counts it.
    virtual void traceRepeatedEvent(std::uint64_t ps, const std::string& text) {
        (void)ps;
        (void)text;
    }
};

struct McuOptions {
    int hostUsart = 0;        // which USART the host's line is wired to (0 or 1)
    std::uint32_t xt2Hz = 0;  // the XT2 crystal; 0: none fitted
};

// Special function registers.
enum : std::uint16_t {
    kIe1 = 0x00,
    kIe2 = 0x01,
    kIfg1 = 0x02,
    kIfg2 = 0x03,
    kMe1 = 0x04,
    kMe2 = 0x05
};
// Bits in IE1/IFG1 that belong to the system rather than to one peripheral.
enum : std::uint8_t { kWdtIfg = 0x01, kOfIfg = 0x02, kNmiIfg = 0x10, kAccvIe = 0x20 };

class Mcu {
public:
    Mcu(Memory& memory, const ChipModel& chip, McuHooks* hooks, McuOptions options = {});
    ~Mcu();
    Mcu(const Mcu&) = delete;
    Mcu& operator=(const Mcu&) = delete;

    // Power-on reset at time `ps`: every register to its reset value, PC from the reset vector.
    void powerOn(std::uint64_t ps);
    // Starts at `pc` at time `ps` from the reset state with the watchdog held, as code that a
    // loader jumps to finds the chip.
    void startAt(std::uint64_t ps, std::uint16_t pc);
    // Runs the chip up to time `ps`.
    void runUntil(std::uint64_t ps);
    // The time the chip has run to.
    std::uint64_t nowPs() const;
    // The earliest time after nowPs() at which something happens while the CPU sleeps; nowPs()
    // while it runs.
    std::uint64_t nextEventPs() const;
    bool cpuRunning() const { return !cpu_.sleeping(); }

    // The board drives an input pin high or low.
    void driveInput(int port, int bit, bool high);

    // A character from the host has arrived (nullopt: the USART saw a framing or parity error).
    void hostCharacter(std::optional<std::uint8_t> byte);
    // The format of the USART wired to the host.
    platform::LineFormat hostFormat() const;

    // The board's level on an analog input (AnalogChannel); chips without an ADC12 ignore it.
    void setAnalogInput(int channel, const AnalogInput& input);

    Cpu& cpu() { return cpu_; }
    const ChipModel& chip() const { return chip_; }
    std::uint64_t resets() const { return resets_; }

    // ---- used by the CPU ----
    std::uint16_t read16(std::uint16_t a) {
        a &= 0xFFFE;
        if (a >= 0x200) return static_cast<std::uint16_t>(mem_[a] | (mem_[a + 1] << 8));
        return registerRead(a, false);
    }
    std::uint8_t read8(std::uint16_t a) {
        if (a >= 0x200) return mem_[a];
        return static_cast<std::uint8_t>(registerRead(a, true));
    }
    void write16(std::uint16_t a, std::uint16_t v) {
        a &= 0xFFFE;
        if (static_cast<std::uint16_t>(a - ramStart_) < ramSize_) {
            mem_[a] = static_cast<std::uint8_t>(v);
            mem_[a + 1] = static_cast<std::uint8_t>(v >> 8);
        } else {
            slowWrite(a, v, false);
        }
    }
    void write8(std::uint16_t a, std::uint8_t v) {
        if (static_cast<std::uint16_t>(a - ramStart_) < ramSize_)
            mem_[a] = v;
        else
            slowWrite(a, v, true);
    }
    // Interrupt requests (bit mask over Vector) and whether the CPU must leave its run loop.
    std::uint16_t requests_ = 0;
    bool stop_ = false;
    void undefinedInstruction(std::uint16_t op, std::uint16_t at);
    // The CPU takes the highest pending request if it may; returns whether it did.
    bool takeInterrupt();
    bool interruptDue() const;  // a pending request the CPU would take now

    // ---- used by the peripherals ----
    std::uint8_t sfr(std::uint16_t a) const { return sfr_[a]; }
    void setSfrBits(std::uint16_t a, std::uint8_t bits);
    void clearSfrBits(std::uint16_t a, std::uint8_t bits);
    void requestsChanged();                   // a flag or an enable changed
    void scheduleChanged() { stop_ = true; }  // a peripheral's next event moved
    void clocksChanging();  // before a clock changes: everyone catches up with the old clock
    void clocksChanged();   // after it
    void requestReset(const char* why);  // PUC once the running instruction is done
    void stallPs(std::uint64_t ps);      // the CPU waits (flash programming)
    void note(const std::string& text);
    void noteOnce(const std::string& text);  // told the first time, counted after
    BasicClock& clock() { return *clock_; }
    Ports& ports() { return *ports_; }
    TimerA& timerA() { return *timerA_; }
    TimerB* timerB() { return timerB_.get(); }        // none on the chips without one
    void pinsChanged(int port, std::uint8_t levels);  // tells the board
    bool flashAddress(std::uint16_t a) const {
        return (a >= 0x1000 && a < 0x1100) || a >= chip_.flashStart;
    }
    std::uint8_t* memory() { return mem_; }
    // A USART puts a character on its TXD pin / reports a new format.
    void usartTransmit(int index, std::uint8_t byte, const platform::LineFormat& format);
    void usartFormatChanged(int index);
    bool usartPinsSelected(int index) const;

private:
    std::uint16_t registerRead(std::uint16_t a, bool byte);
    void slowWrite(std::uint16_t a, std::uint16_t v, bool byte);
    void reset(bool powerOn);
    void rebase();
    void serviceEvents();
    void updateNextEvent();
    Usart* hostUsart() const;

    std::uint8_t* mem_;
    const ChipModel& chip_;
    McuHooks* hooks_;
    McuOptions options_;
    std::uint16_t ramStart_;
    std::uint16_t ramSize_;

    Cpu cpu_;
    // Time: nowPs() = basePs_ + (cpu_.cycles - baseCycles_) * mclkPs_.
    std::uint64_t basePs_ = 0;
    std::uint64_t baseCycles_ = 0;
    std::uint64_t mclkPs_ = 1;
    std::uint64_t nextEventPs_ = kNever;

    std::array<std::uint8_t, 6> sfr_{};
    const char* resetWhy_ = nullptr;
    std::uint64_t resets_ = 0;

    std::unique_ptr<BasicClock> clock_;
    std::unique_ptr<Watchdog> watchdog_;
    std::unique_ptr<TimerA> timerA_;
    std::unique_ptr<TimerB> timerB_;
    std::unique_ptr<Adc12> adc12_;
    std::unique_ptr<Usart> usart_[2];
    std::unique_ptr<Ports> ports_;
    std::unique_ptr<Multiplier> multiplier_;
    std::unique_ptr<FlashController> flash_;
    std::vector<Peripheral*> all_;
    std::array<Peripheral*, 0x200> owner_{};
    std::bitset<0x200> reported_;
    bool toldUnmapped_ = false;
    bool toldUndefined_ = false;
    std::vector<std::string> notedOnce_;
};

}  // namespace sim::mcu
