// What every peripheral of the simulated chip offers the Mcu: its reset, its registers, how it
// catches up with the present and when it next has something to do, and its interrupt requests.
#pragma once

#include <cstdint>
#include <limits>

namespace sim::mcu {

class Mcu;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// Interrupt vectors of the F1xx family, as an index from 0xFFE0 (0 .. 15); a higher index is the
// higher priority.
enum Vector : int {
    kVecPort2 = 1,
    kVecUsart1Tx = 2,
    kVecUsart1Rx = 3,
    kVecPort1 = 4,
    kVecTimerA1 = 5,
    kVecTimerA0 = 6,
    kVecAdc = 7,
    kVecUsart0Tx = 8,
    kVecUsart0Rx = 9,
    kVecWatchdog = 10,
    kVecComparator = 11,
    kVecTimerB1 = 12,
    kVecTimerB0 = 13,
    kVecNmi = 14,
    kVecReset = 15,
};

constexpr std::uint16_t vectorAddress(int vector) {
    return static_cast<std::uint16_t>(0xFFE0 + 2 * vector);
}

class Peripheral {
public:
    explicit Peripheral(Mcu& mcu) : mcu_(mcu) {}
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral&) = delete;
    Peripheral& operator=(const Peripheral&) = delete;

    // PUC (and, with powerOn, POR): registers to their reset values.
    virtual void reset(bool powerOn) = 0;
    // Register access; `byte` tells a byte instruction from a word one.
    virtual std::uint16_t read(std::uint16_t address, bool byte) = 0;
    virtual void write(std::uint16_t address, std::uint16_t value, bool byte) = 0;
    // Brings counters up to the Mcu's present time (before a clock change or a register access).
    virtual void catchUp() {}
    // When the peripheral next changes something the rest of the chip sees (kNever: not before a
    // register access or a clock change); the Mcu calls event() once that time has come.
    virtual std::uint64_t nextEventPs() const { return kNever; }
    virtual void event() {}
    // Pending interrupt requests as a bit mask over Vector.
    virtual std::uint16_t requests() const { return 0; }
    // The CPU accepted the request of `vector`: single-source flags clear themselves.
    virtual void accepted(int /*vector*/) {}

protected:
    Mcu& mcu_;
};

}  // namespace sim::mcu
