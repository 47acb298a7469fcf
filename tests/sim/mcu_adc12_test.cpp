// The ADC12 through its registers, with the CPU asleep: what a conversion gives for the board's
// levels and the chosen references, when it is done, and how the modes fill the memory registers
// and raise flags, overflows and ADC12IV.
#include <gtest/gtest.h>

#include "mcu_board.h"

namespace {

constexpr std::uint16_t kCtl0 = 0x01A0, kCtl1 = 0x01A2, kIfg = 0x01A4, kIe = 0x01A6, kIv = 0x01A8;
constexpr std::uint16_t mctl(int i) { return static_cast<std::uint16_t>(0x0080 + i); }
constexpr std::uint16_t mem(int i) { return static_cast<std::uint16_t>(0x0140 + 2 * i); }
constexpr std::uint64_t kPsPerUs = 1000000, kPsPerMs = 1000000000;
// ADC12CTL0 and ADC12CTL1 bits.
constexpr std::uint16_t kSc = 0x01, kEnc = 0x02, kOvIe = 0x08, kOn = 0x10, kRefOn = 0x20,
                        kRef25 = 0x40, kMsc = 0x80, kShp = 0x0200, kBusy = 0x01;

struct Board : mcutest::SleepingBoard {
    void level(int channel, double mv) { mcu.setAnalogInput(channel, {mv, mv, 0, 0}); }
    // Runs from event to event until `bits` of ADC12IFG are all set; the time that took.
    std::uint64_t until(std::uint16_t bits) {
        const std::uint64_t from = mcu.nowPs();
        for (int n = 0; n < 1000 && (mcu.read16(kIfg) & bits) != bits; ++n) {
            const std::uint64_t t = mcu.nextEventPs();
            if (t == sim::mcu::kNever) break;
            mcu.runUntil(t);
        }
        return mcu.nowPs() - from;
    }
};

TEST(McuAdc12, ConversionGivesTheLevelAgainstItsReferences) {
    // ADC12MCTL0's SREF and INCH, ADC12CTL0's REFON and REF2_5V, the code. One case a row.
    // clang-format off
    struct Case { const char* what; std::uint8_t mctl; std::uint16_t refBits, code; };
    const Case cases[] = {
        {"A0 1.65 V of AVcc 3.3 V", 0x00, 0, 2048},
        {"A1 1.2 V of VREF+ 2.5 V", 0x11, kRefOn | kRef25, 1966},
        {"A1 1.2 V of VREF+ 1.5 V", 0x11, kRefOn, 3276},
        {"A2 2.0 V above VREF+ 1.5 V: full scale", 0x12, kRefOn, 4095},
        {"A1 with the reference off: full scale", 0x11, 0, 4095},
        {"A3 0.5 V between VeREF- 0.25 V and VeREF+ 2.0 V", 0x63, 0, 585},
        {"A5 0.1 V below VeREF- 0.25 V: zero", 0x45, 0, 0},
        {"A7 at 3.3 V: full scale", 0x07, 0, 4095},
        {"temperature 40 C against 1.5 V", 0x1A, kRefOn, 3079},
        {"temperature without the reference: zero", 0x0A, 0, 0},
        {"(AVcc - AVss) / 2", 0x0B, 0, 2048},
        {"channel 15 is (AVcc - AVss) / 2 too", 0x0F, 0, 2048},
    };
    // clang-format on
    for (const Case& c : cases) {
        Board b;  // 8 is VeREF+, 9 VeREF-, 10 the temperature in degrees
        const std::pair<int, double> levels[] = {{0, 1650}, {1, 1200}, {2, 2000},
                                                 {3, 500},  {5, 100},  {7, 3300},
                                                 {8, 2000}, {9, 250},  {10, 40}};
        for (const auto& [channel, mv] : levels) b.level(channel, mv);
        b.mcu.write16(kCtl1, kShp);
        b.mcu.write8(mctl(0), c.mctl);
        b.mcu.write16(kCtl0, static_cast<std::uint16_t>(0x0400 | kOn | c.refBits));
        b.mcu.write16(kCtl0, static_cast<std::uint16_t>(0x0400 | kOn | c.refBits | kEnc | kSc));
        b.until(0x0001);
        EXPECT_EQ(b.mcu.read16(mem(0)), c.code) << c.what;
        EXPECT_EQ(b.mcu.read16(kIfg), 0) << c.what;  // reading ADC12MEM0 cleared its flag
    }
}

// Sample time (SHT cycles, or as long as ADC12SC stays set) and 13 conversion cycles of
// ADC12CLK, from the source and divider.
TEST(McuAdc12, ConversionTakesSampleAndConversionCycles) {
    // clang-format off
    struct Case { const char* what; std::uint16_t ctl0, ctl1; std::uint64_t ps; };  // SHT; clock
    const Case cases[] = {
        {"ADC12OSC, 4 + 13 cycles", 0x0000, kShp, 17 * 200000},
        {"ADC12OSC, 1024 + 13 cycles", 0x0F00, kShp, 1037 * 200000},
        {"ADC12OSC / 8, 16 + 13 cycles", 0x0200, kShp | 0x00E0, 29 * 8 * 200000},
        {"ACLK, 4 + 13 cycles", 0x0000, kShp | 0x0008, 17 * 30517578ull},
        {"SMCLK (800 kHz) / 2, 96 + 13 cycles", 0x0500, kShp | 0x0038, 109 * 2 * 1250000ull},
        {"extended: ADC12SC cleared after 100 us, 13 cycles", 0x0F00, 0, 100 * kPsPerUs + 13 * 200000},
    };
    // clang-format on
    for (const Case& c : cases) {
        Board b;
        b.mcu.write16(kCtl1, c.ctl1);
        b.mcu.write16(kCtl0, static_cast<std::uint16_t>(c.ctl0 | kOn | kEnc | kSc));
        const std::uint64_t start = b.mcu.nowPs();
        if (!(c.ctl1 & kShp)) {
            b.mcu.runUntil(start + 100 * kPsPerUs);
            EXPECT_EQ(b.mcu.read16(kCtl1) & kBusy, kBusy) << c.what;
            b.mcu.write16(kCtl0, static_cast<std::uint16_t>(c.ctl0 | kOn | kEnc));
        }
        b.until(0x0001);
        EXPECT_EQ(b.mcu.nowPs() - start, c.ps) << c.what;
        EXPECT_EQ(b.mcu.read16(kCtl1) & kBusy, 0) << c.what;
    }
}

TEST(McuAdc12, ModesFillTheirMemoryRegisters) {
    // ADC12CTL1's CSTARTADD and CONSEQ; MSC; the rising edges of ADC12SC, each after the previous
    // conversion is done; ENC cleared right after the last; the flags and ADC12BUSY after.
    // clang-format off
    struct Case { const char* what; std::uint16_t ctl1; bool msc; int starts; bool encOff;
                  std::uint16_t ifg; bool busyAfter; };
    const Case cases[] = {
        {"single: one register", 0x2000, true, 1, false, 0x0004, false},
        {"sequence from MEM2 to EOS at MEM4, MSC", 0x2002, true, 1, false, 0x001C, false},
        {"sequence without MSC: one conversion per start", 0x2002, false, 2, false, 0x000C, true},
        {"sequence without MSC: three starts end it", 0x2002, false, 3, false, 0x001C, false},
        {"sequence without MSC, ENC cleared: ends idle", 0x2002, false, 1, true, 0x0004, false},
        {"sequence with MSC, ENC cleared: to its end", 0x2002, true, 1, true, 0x001C, false},
        {"repeat-single with MSC goes on", 0x2004, true, 1, false, 0x0004, true},
        {"repeat-sequence with MSC goes on", 0x2006, true, 1, false, 0x001C, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        Board b;
        for (int i = 2; i <= 4; ++i) b.level(i, 1000.0 * (i - 1));
        for (int i = 0; i < 16; ++i) b.mcu.write8(mctl(i), i == 4 ? 0x84 : i & 7);  // EOS at 4
        b.mcu.write16(kCtl1, static_cast<std::uint16_t>(c.ctl1 | kShp));
        const std::uint16_t ctl0 = static_cast<std::uint16_t>(kOn | kEnc | (c.msc ? kMsc : 0));
        for (int s = 0; s < c.starts; ++s) {
            b.mcu.write16(kCtl0, static_cast<std::uint16_t>(ctl0 | kSc));
            if (c.encOff && s + 1 == c.starts) b.mcu.write16(kCtl0, ctl0 & ~kEnc);
            b.mcu.runUntil(b.mcu.nowPs() + 20 * kPsPerUs);  // 17 cycles of ADC12OSC: one done
        }
        b.mcu.runUntil(b.mcu.nowPs() + 100 * kPsPerUs);
        EXPECT_EQ(b.mcu.read16(kIfg), c.ifg) << c.what;
        EXPECT_EQ(b.mcu.read16(kCtl1) & kBusy, c.busyAfter ? kBusy : 0) << c.what;
        EXPECT_TRUE(!(c.ifg & 0x0010) || b.mcu.read16(mem(4)) == 3723) << c.what;  // 3 V
    }
}

TEST(McuAdc12, RepeatStopsAfterEncIsClearedAndOverflowsAreVectored) {
    Board b;
    b.mcu.write8(mctl(0), 0x00);
    b.mcu.write16(kIe, 0x0001);
    b.mcu.write16(kCtl1, kShp | 0x0004);  // repeat-single
    b.mcu.write16(kCtl0, kOn | kMsc | kOvIe | kEnc | kSc);
    b.mcu.runUntil(b.mcu.nowPs() + 50 * kPsPerUs);  // MEM0 written again before it was read
    EXPECT_EQ(b.mcu.requests_ & (1u << sim::mcu::kVecAdc), 1u << sim::mcu::kVecAdc);
    EXPECT_EQ(b.mcu.read16(kIv), 2);  // the overflow first, cleared by the reading
    EXPECT_EQ(b.mcu.read16(kIv), 6);  // then ADC12IFG0, which stays
    EXPECT_EQ(b.mcu.read16(kIv), 6);
    b.mcu.write16(kCtl0, kOn | kMsc | kOvIe);  // ENC off: ends after the conversion under way
    b.mcu.runUntil(b.mcu.nowPs() + 20 * kPsPerUs);
    EXPECT_EQ(b.mcu.read16(kCtl1) & kBusy, 0);
    EXPECT_EQ(b.mcu.read16(kIv), 2);  // that last conversion overwrote MEM0 unread too
    b.mcu.read16(mem(0));
    EXPECT_EQ(b.mcu.read16(kIv), 0);
    EXPECT_EQ(b.mcu.requests_ & (1u << sim::mcu::kVecAdc), 0u);
}

// What ENC locks, and what a PUC leaves.
TEST(McuAdc12, SettingsHeldWhileEncIsSetAndThroughAPuc) {
    Board b;
    b.mcu.write16(kCtl1, kShp | 0x0004);
    b.mcu.write8(mctl(0), 0x01);
    b.mcu.write16(kCtl0, kOn | kMsc | kEnc | kSc);
    b.mcu.write8(mctl(0), 0x05);                // ignored
    b.mcu.write16(kCtl1, 0xF0F8);               // only CONSEQ changes: to single
    b.mcu.write16(kCtl0, 0xFF00 | kOn | kEnc);  // SHT, MSC, REFON held
    EXPECT_EQ(b.mcu.read8(mctl(0)), 0x01);
    EXPECT_EQ(b.mcu.read16(kCtl1) & 0xFFFE, kShp);
    EXPECT_EQ(b.mcu.read16(kCtl0), kOn | kMsc | kEnc);
    b.until(0x0001);
    b.mcu.write16(0x0120, 0x0000);  // a watchdog write without the password: PUC
    b.mcu.runUntil(b.mcu.nowPs() + kPsPerMs);
    EXPECT_EQ(b.mcu.read16(kCtl0), kOn | kMsc | kEnc);
    EXPECT_EQ(b.mcu.read16(kIfg), 0x0001);
    b.mcu.powerOn(b.mcu.nowPs());
    EXPECT_EQ(b.mcu.read16(kCtl0), 0);
    EXPECT_EQ(b.mcu.read16(kIfg), 0);
}

}  // namespace
