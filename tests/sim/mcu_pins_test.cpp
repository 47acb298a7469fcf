// The pins seen from the board: Timer_A's output units drive their pins in each OUTMOD, edges the
// board drives set the port flags and wake the chip, and captures take TAR at an input's edges.
#include <gtest/gtest.h>

#include <vector>

#include "mcu_board.h"

namespace {

const std::uint64_t kTickPs = sim::mcu::periodPs(32768);  // ACLK

struct Change {
    std::uint64_t ps;
    int port;
    std::uint8_t levels;
};

// A board that keeps the pins' changes, with a program at 0xF000 that ends asleep in LPM3.
struct Board : mcutest::Board {
    std::vector<Change> changes;
    Board() : mcutest::Board(0xFF) {}
    void pinsChanged(std::uint64_t ps, int port, std::uint8_t levels) override {
        changes.push_back({ps, port, levels});
    }
    void start(std::vector<std::uint16_t> program) {
        const std::vector<std::uint16_t> setup = {0x4031, 0x0A00, 0x40B2, 0x5A80, 0x0120};
        program.insert(program.begin(), setup.begin(), setup.end());
        program.insert(program.end(), {0xD032, 0x00D8, 0x3FFD});  // BIS #LPM3|GIE, SR; JMP back
        code(0xF000, program);
        code(0xFFFE, {0xF000});
        mcu.powerOn(0);
    }
    void mov(std::vector<std::uint16_t>& p, std::uint16_t value, std::uint16_t address) {
        const std::uint16_t op = address < 0x100 ? 0x40F2 : 0x40B2;  // MOV.B or MOV to &address
        p.insert(p.end(), {op, value, address});
    }
    // The edges of Pport.bit: the time in ACLK ticks and the level after it.
    std::vector<std::pair<std::uint64_t, int>> edges(int port, int bit) const {
        std::vector<std::pair<std::uint64_t, int>> at;
        int level = 0;
        for (const Change& c : changes) {
            if (c.port != port || ((c.levels >> bit) & 1) == level) continue;
            level = (c.levels >> bit) & 1;
            at.emplace_back((c.ps + kTickPs / 2) / kTickPs, level);
        }
        return at;
    }
};

// Timer_A's TA1 on P1.2, and Timer_B's TBx on P4.x against its latch TBCLx, in each OUTMOD.
TEST(McuPins, TimerOutputUnitsDriveTheirPins) {
    struct Case {
        const char* what;
        int tb;             // -1: Timer_A's TA1; else Timer_B's block TBtb
        std::uint16_t ctl;  // ACLK, the count mode (and Timer_B's length)
        std::uint16_t ccr0, ccrx, cctlx;
        std::uint64_t high, low;  // steady-state ticks high and low; 0, 0: a single rising edge
    };
    const Case cases[] = {
        {"up, reset/set", -1, 0x0110, 9, 3, 7 << 5, 4, 6},
        {"up, set/reset", -1, 0x0110, 9, 3, 3 << 5, 6, 4},
        {"up, toggle/reset", -1, 0x0110, 9, 3, 2 << 5, 6, 4},
        {"up, toggle/set", -1, 0x0110, 9, 3, 6 << 5, 4, 6},
        {"up, toggle", -1, 0x0110, 9, 3, 4 << 5, 10, 10},
        {"up/down, toggle/reset: centred on zero", -1, 0x0130, 10, 3, 2 << 5, 6, 14},
        {"up/down, toggle/set: centred on TACCR0", -1, 0x0130, 10, 3, 6 << 5, 14, 6},
        {"up, set: once", -1, 0x0110, 9, 3, 1 << 5, 0, 0},
        {"output mode 0: the OUT bit", -1, 0x0110, 9, 3, 0x0004, 0, 0},
        {"Timer_B up, reset/set on TB1", 1, 0x0110, 9, 3, 7 << 5, 4, 6},
        {"Timer_B up, set/reset on TB6", 6, 0x0110, 9, 3, 3 << 5, 6, 4},
        {"Timer_B up/down, toggle/reset on TB3", 3, 0x0130, 10, 3, 2 << 5, 6, 14},
        {"Timer_B continuous over 8 bits, toggle on TB2", 2, 0x1920, 0, 100, 4 << 5, 256, 256},
        {"Timer_B up, TB0 toggles at TBCL0", 0, 0x0110, 9, 9, 4 << 5, 10, 10},
        {"Timer_B output mode 0 on TB5: the OUT bit", 5, 0x0110, 9, 3, 0x0004, 0, 0},
    };
    for (const Case& c : cases) {
        Board b;
        std::vector<std::uint16_t> p;
        const bool a = c.tb < 0;
        const int bit = a ? 2 : c.tb;
        const auto pin = static_cast<std::uint16_t>(1u << bit);
        const auto block = static_cast<std::uint16_t>(2 * (a ? 1 : c.tb));
        b.mov(p, pin, a ? 0x26 : 0x1F);  // PxSEL gives the pin to the timer, PxDIR as an output
        b.mov(p, pin, a ? 0x22 : 0x1E);
        b.mov(p, c.ccr0, a ? 0x0172 : 0x0192);
        if (block != 0) b.mov(p, c.ccrx, static_cast<std::uint16_t>((a ? 0x0172 : 0x0192) + block));
        b.mov(p, c.cctlx, static_cast<std::uint16_t>((a ? 0x0162 : 0x0182) + block));
        b.mov(p, static_cast<std::uint16_t>(c.ctl | 0x0004), a ? 0x0160 : 0x0180);
        b.start(p);
        b.mcu.runUntil(2000 * kTickPs);
        const auto at = b.edges(a ? 1 : 4, bit);
        EXPECT_TRUE(b.notes.empty()) << c.what << ": a timer's pin is not traced";
        if (c.high == 0) {
            ASSERT_EQ(at.size(), 1u) << c.what;
            EXPECT_EQ(at[0].second, 1) << c.what;
            continue;
        }
        ASSERT_GT(at.size(), 6u) << c.what;
        for (std::size_t i = 3; i + 1 < at.size(); ++i)  // after the first periods
            EXPECT_EQ(at[i + 1].first - at[i].first, at[i].second ? c.high : c.low)
                << c.what << " at tick " << at[i].first;
        EXPECT_LT(b.mcu.cpu().instructions, 40u) << c.what << ": the CPU slept through it";
    }
}

// A pin P4SEL gives the timer shows it only as an output, and a latch that loads at the next
// period changes the duty cycle from there: the pulse under way keeps the old one.
TEST(McuPins, TimerBOutputFollowsItsPinAndLatch) {
    Board b;
    std::vector<std::uint16_t> p;
    b.mov(p, 0x12, 0x1F);  // P4SEL: TB1 and TB4, only TB4 an output
    b.mov(p, 0x10, 0x1E);
    b.mov(p, 9, 0x0192);
    b.mov(p, 3, 0x0194);
    b.mov(p, 3, 0x019A);
    b.mov(p, 7 << 5, 0x0184);
    b.mov(p, (7 << 5) | 0x0200, 0x018A);  // TB4: reset/set, its latch loads when TBR counts to 0
    b.mov(p, 0x0114, 0x0180);
    b.start(p);
    b.mcu.runUntil(103 * kTickPs);  // in the pulse from tick 101, before TBR counts to TBCL4
    b.mcu.write16(0x019A, 6);
    b.mcu.runUntil(200 * kTickPs);
    EXPECT_TRUE(b.edges(4, 1).empty()) << "TB1's pin is an input";
    const auto e = b.edges(4, 4);
    int pulses = 0;
    for (std::size_t i = 0; i + 1 < e.size(); ++i) {
        if (e[i].second != 1 || e[i].first < 50) continue;
        EXPECT_EQ(e[i + 1].first - e[i].first, e[i].first < 103 ? 4u : 7u)
            << "the pulse from tick " << e[i].first;
        ++pulses;
    }
    EXPECT_GE(pulses, 12);
}

TEST(McuPins, DrivenEdgesSetFlagsAndWakeTheChip) {
    struct Case {
        const char* what;
        int port;
        std::uint8_t ies, ie;
        std::vector<bool> levels;  // driven in turn on bit 4, 1 ms apart
        std::uint16_t wakeUps;
        std::uint8_t ifg;  // left set (no handler clears it when IE is off)
    };
    const Case cases[] = {
        {"P1 rising edges", 1, 0x00, 0x10, {true, false, true, false}, 2, 0},
        {"P1 falling edges", 1, 0x10, 0x10, {true, false, true}, 1, 0},
        {"P2 rising edges on its own vector", 2, 0x00, 0x10, {true, false, true}, 2, 0},
        {"flag without interrupt", 1, 0x00, 0x00, {true}, 0, 0x10},
    };
    for (const Case& c : cases) {
        Board b;
        const std::uint16_t base = c.port == 1 ? 0x20 : 0x28;
        b.code(0xF100, {0x5392, 0x0200, 0x43C2, static_cast<std::uint16_t>(base + 3), 0x1300});
        b.code(0xFFE0 + 2 * (c.port == 1 ? sim::mcu::kVecPort1 : sim::mcu::kVecPort2), {0xF100});
        std::vector<std::uint16_t> p;
        b.mov(p, c.ies, base + 4);
        b.mov(p, c.ie, base + 5);
        b.start(p);
        b.memory[0x0200] = b.memory[0x0201] = 0;
        std::uint64_t t = 0;
        for (bool level : c.levels) {
            b.mcu.runUntil(t += 1000000000ull);
            b.mcu.driveInput(c.port, 4, level);
        }
        b.mcu.runUntil(t + 1000000000ull);
        EXPECT_EQ(b.word(0x0200), c.wakeUps) << c.what;
        EXPECT_EQ(b.mcu.ports().read(static_cast<std::uint16_t>(base + 3), true), c.ifg) << c.what;
        EXPECT_EQ(b.mcu.ports().read(base, true) & 0x10, c.levels.back() ? 0x10 : 0) << c.what;
    }
}

TEST(McuPins, CapturesTakeTheCountAtAnInputsEdges) {
    Board b;
    std::vector<std::uint16_t> p;
    b.mov(p, 0xC100, 0x0166);  // TACCTL2: both edges, CCI2A (P1.3), capture
    b.mov(p, 0x6100, 0x0164);  // TACCTL1: rising edge, GND: switched to VCC by software below
    b.mov(p, 0x0124, 0x0160);  // TACTL: ACLK, continuous, clear
    b.start(p);
    b.mcu.runUntil(1000 * kTickPs);
    b.mcu.driveInput(1, 3, true);
    const std::uint16_t first = b.mcu.timerA().read(0x0176, false);
    EXPECT_NEAR(first, 1000, 1) << "rising edge";
    EXPECT_EQ(b.mcu.timerA().read(0x0166, false) & 0x000B, 0x0009) << "CCIFG, CCI high";
    b.mcu.runUntil(1500 * kTickPs);
    b.mcu.driveInput(1, 3, false);
    EXPECT_EQ(b.mcu.timerA().read(0x0176, false), first + 500) << "falling edge";
    EXPECT_EQ(b.mcu.timerA().read(0x0166, false) & 0x000B, 0x0003) << "overflow: not read in time";
    b.mcu.driveInput(1, 2, true);  // CCI1A: block 1 listens to GND
    EXPECT_EQ(b.mcu.timerA().read(0x0164, false) & 1, 0) << "an unselected input captures nothing";
    b.mcu.timerA().write(0x0164, 0x7100, false);  // GND to VCC: a rising edge
    EXPECT_EQ(b.mcu.timerA().read(0x0174, false), first + 500) << "software capture";
}

}  // namespace
