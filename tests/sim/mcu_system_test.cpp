// The chip around the CPU: interrupts and their priorities, sleeping until one comes, the
// watchdog's resets, and the peripherals firmware leans on (timer, USART, multiplier, flash
// controller), each through small programs or its registers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mcu_board.h"

namespace {

constexpr std::uint64_t kPsPerMs = 1000000000ull;

struct Board : mcutest::Board {
    Board() : mcutest::Board(0xFF) {}
    void vector(int index, std::uint16_t address) { code(0xFFE0 + 2 * index, {address}); }
    void start(const std::vector<std::uint16_t>& program) {
        code(0xF000, program);
        vector(15, 0xF000);
        mcu.powerOn(0);
    }
};

// Words of common steps.
std::vector<std::uint16_t> movToAbs(std::uint16_t value, std::uint16_t address) {
    return {0x40B2, value, address};
}
std::vector<std::uint16_t> operator+(std::vector<std::uint16_t> a,
                                     const std::vector<std::uint16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::vector<std::uint16_t> kSetup = std::vector<std::uint16_t>{0x4031, 0x0A00} +  // SP
                                          movToAbs(0x5A80, 0x0120);                     // WDT off
constexpr std::uint16_t kIncCounter[] = {0x5392, 0x0200};  // ADD #1, &0200
constexpr std::uint16_t kReti = 0x1300;

TEST(McuSystem, TimerInterruptWakesTheSleepingCpuAndSleepCostsNothing) {
    struct Case {
        const char* what;
        std::uint16_t lowPowerBits;  // with GIE
        std::uint16_t tactl;
        std::uint16_t ccr0;
        std::uint64_t runMs;
        std::uint16_t wakeUps;
    };
    const Case cases[] = {
        {"LPM3, ACLK up mode, 1 s", 0xD0, 0x0110, 32767, 3500, 3},
        {"LPM0, SMCLK/8 continuous: every 0.655 s from 47 ms", 0x10, 0x02E0, 0x1234, 3500, 6},
        {"LPM3 with SMCLK: the clock is off, nothing comes", 0xD0, 0x0220, 100, 1000, 0},
        {"LPM1, ACLK up/down to 16384 and back: 1 s", 0x50, 0x0130, 16384, 2500, 2},
    };
    for (const Case& c : cases) {
        Board b;
        b.code(0xF100, {kIncCounter[0], kIncCounter[1], kReti});
        b.vector(sim::mcu::kVecTimerA0, 0xF100);
        b.start(kSetup + movToAbs(c.ccr0, 0x0172) + movToAbs(0x0010, 0x0162) +
                movToAbs(c.tactl, 0x0160) +
                std::vector<std::uint16_t>{0xD032, static_cast<std::uint16_t>(c.lowPowerBits | 8),
                                           0x3FFD});  // BIS #bits, SR; JMP back to it
        b.memory[0x0200] = b.memory[0x0201] = 0;
        b.mcu.runUntil(c.runMs * kPsPerMs);
        EXPECT_EQ(b.word(0x0200), c.wakeUps) << c.what;
        EXPECT_LT(b.mcu.cpu().instructions, 20u + 5u * c.wakeUps) << c.what;
        EXPECT_FALSE(b.mcu.cpuRunning()) << c.what;
    }
}

TEST(McuSystem, HighestPendingInterruptFirstWithTheStatusSaved) {
    Board b;
    b.vector(sim::mcu::kVecPort1, 0xF200);
    b.vector(sim::mcu::kVecPort2, 0xF300);
    // P1IE, P2IE and their flags set by software, then GIE with carry set.
    b.start(kSetup + std::vector<std::uint16_t>{0x40F2, 0x01, 0x0025, 0x40F2, 0x01, 0x002D, 0x40F2,
                                                0x01, 0x0023, 0x40F2, 0x01, 0x002B,
                                                0xD232});  // BIS #8, SR (GIE)
    for (int i = 0; i < 7; ++i) b.mcu.cpu().step();
    b.mcu.cpu().r[2] |= sim::mcu::kC;
    const std::uint64_t before = b.mcu.cpu().cycles;
    ASSERT_TRUE(b.mcu.takeInterrupt());
    EXPECT_EQ(b.mcu.cpu().pc(), 0xF200);  // port 1 outranks port 2
    EXPECT_EQ(b.mcu.cpu().cycles - before, 6u);
    EXPECT_EQ(b.mcu.cpu().sr(), 0);  // GIE cleared: no nesting unless the routine sets it
    EXPECT_EQ(b.word(0x09FC), sim::mcu::kGie | sim::mcu::kC);
    EXPECT_EQ(b.word(0x09FE), 0xF024);
}

TEST(McuSystem, WatchdogResetsUnlessStopped) {
    struct Case {
        const char* what;
        std::vector<std::uint16_t> program;
        std::uint64_t resets;  // in 100 ms, power-on included
        const char* note;
    };
    const Case cases[] = {
        {"running from reset: 32768 SMCLK cycles of about 800 kHz",
         {0x3FFF},
         3,
         "watchdog time-out: reset"},
        {"written without the password",
         movToAbs(0x0080, 0x0120) + std::vector<std::uint16_t>{0x3FFF}, 100,
         "watchdog written without its password: reset"},
        {"held", kSetup + std::vector<std::uint16_t>{0x3FFF}, 1, nullptr},
        {"interval mode sets a flag only",
         movToAbs(0x5A10, 0x0120) + std::vector<std::uint16_t>{0x3FFF}, 1, nullptr},
    };
    for (const Case& c : cases) {
        Board b;
        b.start(c.program);
        b.mcu.runUntil(100 * kPsPerMs);
        if (c.resets >= 100)
            EXPECT_GE(b.mcu.resets(), c.resets) << c.what;
        else
            EXPECT_EQ(b.mcu.resets(), c.resets) << c.what;
        if (c.note) {
            ASSERT_FALSE(b.notes.empty()) << c.what;
            EXPECT_EQ(b.notes.front(), c.note) << c.what;
            EXPECT_EQ(b.notes.size(), 1u) << c.what;  // told once
        }
    }
}

TEST(McuSystem, UartSendsAtItsModulatedSpeedBackToBack) {
    Board b;
    // 9600 Bd from the 32768 Hz crystal: UBR 3, modulation 0x4A (three of eight bits longer).
    b.start(kSetup + std::vector<std::uint16_t>{
                         0xD0F2, 0x30, 0x001B,  // P3SEL |= 0x30
                         0x40F2, 0xC0, 0x0004,  // ME1
                         0x40F2, 0x11, 0x0070,  // U0CTL: 8 bits, reset
                         0x40F2, 0x10, 0x0071,  // U0TCTL: ACLK
                         0x40F2, 0x03, 0x0074, 0x40F2, 0x00,   0x0075,
                         0x40F2, 0x4A, 0x0073, 0xC3D2, 0x0070,          // BIC.B #1, &U0CTL
                         0x40F2, 'O',  0x0077, 0x40F2, 'K',    0x0077,  // two bytes at once
                         0x3FFF});
    b.mcu.runUntil(10 * kPsPerMs);
    ASSERT_EQ(b.sent.size(), 2u);
    EXPECT_EQ(b.sent[0].byte, 'O');
    EXPECT_EQ(b.sent[1].byte, 'K');
    EXPECT_EQ(b.sent[0].format, (platform::LineFormat{9709, 8, 0, 0}));
    const double gapMs = double(b.sent[1].ps - b.sent[0].ps) / kPsPerMs;
    EXPECT_NEAR(gapMs, 10 * 3.375 / 32.768, 0.001);
}

TEST(McuSystem, MultiplierModes) {
    struct Case {
        std::uint16_t op1At, op1, op2, reslo, reshi;  // reslo/reshi: the accumulator before
        std::uint32_t result;
        std::uint16_t sumext;
    };
    const Case cases[] = {
        {0x130, 0xFFFF, 0xFFFF, 0, 0, 0xFFFE0001, 0},            // MPY
        {0x132, 0xFFFF, 0x0002, 0, 0, 0xFFFFFFFE, 0xFFFF},       // MPYS: -1 * 2
        {0x132, 0x7FFF, 0x7FFF, 0, 0, 0x3FFF0001, 0},            // MPYS positive
        {0x134, 0xFFFF, 0xFFFF, 0xFFFF, 0x0001, 0x00000000, 1},  // MAC with carry out
        {0x134, 2, 3, 10, 0, 16, 0},                             // MAC
        {0x136, 0xFFFF, 0x0003, 1, 0, 0xFFFFFFFE, 0xFFFF},       // MACS: 1 + (-3)
    };
    for (const Case& c : cases) {
        Board b;
        b.start({0x3FFF});
        b.mcu.write16(0x13A, c.reslo);
        b.mcu.write16(0x13C, c.reshi);
        b.mcu.write16(c.op1At, c.op1);
        b.mcu.write16(0x138, c.op2);
        EXPECT_EQ(b.mcu.read16(0x13A) | (std::uint32_t(b.mcu.read16(0x13C)) << 16), c.result)
            << std::hex << c.op1At << " " << c.op1 << " " << c.op2;
        EXPECT_EQ(b.mcu.read16(0x13E), c.sumext) << std::hex << c.op1At;
    }
}

TEST(McuSystem, FlashControllerKeysLockAndOperations) {
    Board b;
    b.start({0x3FFF});
    b.memory[0x2000] = 0xFF;
    b.mcu.write16(0x2000, 0x1234);  // locked: ignored
    EXPECT_EQ(b.word(0x2000), 0xFFFF);
    EXPECT_EQ(b.mcu.read16(0x012C) & 0xFF14, 0x9614);  // key reads 0x96, LOCK, ACCVIFG
    b.mcu.write16(0x012C, 0xA500);                     // unlock
    b.mcu.write16(0x0128, 0xA540);                     // WRT
    b.mcu.write16(0x2000, 0x1234);
    b.mcu.write16(0x2000, 0xFF0F);  // programming only clears bits
    EXPECT_EQ(b.word(0x2000), 0x1204);
    b.mcu.write16(0x0128, 0xA502);  // ERASE: the 512-byte segment written to
    b.memory[0x2200] = 0;
    b.mcu.write16(0x21FE, 0);
    EXPECT_EQ(b.word(0x2000), 0xFFFF);
    EXPECT_EQ(b.word(0x21FE), 0xFFFF);
    EXPECT_EQ(b.memory[0x2200], 0);
    EXPECT_EQ(b.mcu.read16(0x0128), 0x9600);  // ERASE ends by itself
    b.mcu.write16(0x0128, 0x1240);            // wrong key: reset
    b.mcu.runUntil(kPsPerMs);
    EXPECT_EQ(b.mcu.resets(), 2u);
    EXPECT_EQ(b.mcu.read16(0x012C) & 0x12, 0x12);  // KEYV and LOCK after the reset
}

TEST(McuSystem, UnmodelledRegistersReadZeroAndAreToldOnce) {
    Board b;
    b.start({0x3FFF});
    EXPECT_EQ(b.mcu.read16(0x01B0), 0);  // nothing there on the F149
    b.mcu.read16(0x01B0);
    b.mcu.write16(0x01B0, 1);
    EXPECT_EQ(b.notes, (std::vector<std::string>{"read of unmodelled register 01B0 gives 0"}));
}

}  // namespace
