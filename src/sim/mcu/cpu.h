// The MSP430 CPU (the 16-bit core, not the extended one): sixteen registers, the 27 core
// instructions in their seven addressing modes, the constant generators, exact flags and the cycle
// count of every instruction form, interrupt entry and return. Memory and the peripheral registers
// are reached through the Mcu it belongs to.
#pragma once

#include <cstdint>

namespace sim::mcu {

class Mcu;

// Status register bits.
enum : std::uint16_t {
    kC = 0x0001,
    kZ = 0x0002,
    kN = 0x0004,
    kGie = 0x0008,
    kCpuOff = 0x0010,
    kOscOff = 0x0020,
    kScg0 = 0x0040,
    kScg1 = 0x0080,
    kV = 0x0100,
    kLowPowerBits = kCpuOff | kOscOff | kScg0 | kScg1,
};

class Cpu {
public:
    explicit Cpu(Mcu& mcu) : mcu_(mcu) {}

    std::uint16_t r[16] = {};  // r[0] PC, r[1] SP, r[2] SR, r[3] constant generator (reads 0)
    std::uint64_t cycles = 0;  // MCLK cycles since power-on
    std::uint64_t instructions = 0;

    std::uint16_t pc() const { return r[0]; }
    std::uint16_t sr() const { return r[2]; }
    bool sleeping() const { return (r[2] & kCpuOff) != 0; }

    // Executes instructions until `cycles` reaches `limit`, the CPU goes to sleep or the Mcu asks
    // it to stop; takes pending interrupts between instructions.
    void run(std::uint64_t limit);
    // One instruction (or nothing while the CPU sleeps); returns the cycles it took.
    unsigned step();
    // Interrupt entry: pushes PC and SR, clears SR but for SCG0 and jumps through the vector.
    void enterInterrupt(std::uint16_t vectorAddress);

private:
    std::uint16_t fetch();
    void setSr(std::uint16_t value);
    unsigned doubleOperand(std::uint16_t op);
    unsigned singleOperand(std::uint16_t op);
    void undefined(std::uint16_t op, std::uint16_t at);

    Mcu& mcu_;
};

}  // namespace sim::mcu
