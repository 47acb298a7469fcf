// An F149 chip on memory of its own for the CPU and system tests: words go into memory
// little-endian, and what the chip sends and tells is kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/mcu/mcu.h"

namespace mcutest {

struct Sent {
    std::uint64_t ps;
    std::uint8_t byte;
    platform::LineFormat format;
};

struct Board : sim::mcu::McuHooks {
    sim::Memory memory{};
    sim::mcu::Mcu mcu{memory, sim::chipModelFor(0xF149), this};
    std::vector<Sent> sent;
    std::vector<std::string> notes;

    explicit Board(std::uint8_t fill) { memory.fill(fill); }
    void transmit(std::uint64_t ps, std::uint8_t byte, const platform::LineFormat& f) override {
        sent.push_back({ps, byte, f});
    }
    void formatChanged(std::uint64_t, const platform::LineFormat&) override {}
    void traceEvent(std::uint64_t, const std::string& text) override { notes.push_back(text); }

    void code(std::uint16_t at, const std::vector<std::uint16_t>& words) {
        for (std::uint16_t w : words) {
            memory[at++] = static_cast<std::uint8_t>(w);
            memory[at++] = static_cast<std::uint8_t>(w >> 8);
        }
    }
    void word(std::uint16_t at, std::uint16_t w) { code(at, {w}); }
    std::uint16_t word(std::uint16_t at) const { return memory[at] | memory[at + 1] << 8; }
};

// A chip asleep in LPM0 without interrupts from 1 ms on (watchdog held): ACLK and SMCLK run and
// the tests drive the peripherals through their registers.
struct SleepingBoard : Board {
    SleepingBoard() : Board(0xFF) {
        code(0xF000, {0x4031, 0x0A00, 0x40B2, 0x5A80, 0x0120, 0xD032, 0x0010, 0x3FFF});
        code(0xFFFE, {0xF000});
        mcu.powerOn(0);
        mcu.runUntil(1000000000);
    }
};

}  // namespace mcutest
