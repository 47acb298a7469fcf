// Timer_B7 through its registers, with the CPU asleep: when each flag comes, in counter ticks of
// ACLK, for the counting modes, the counter lengths and the compare latches' load events.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "mcu_board.h"

namespace {

using Writes = std::vector<std::pair<std::uint16_t, std::uint16_t>>;  // address, word

constexpr std::uint16_t kTbctl = 0x0180, kTbr = 0x0190, kTbiv = 0x011E;
constexpr std::uint16_t cctl(int i) { return static_cast<std::uint16_t>(0x0182 + 2 * i); }
constexpr std::uint16_t ccr(int i) { return static_cast<std::uint16_t>(0x0192 + 2 * i); }
constexpr int kTbifg = 7;
constexpr std::uint64_t kAclkPs = 30517578;  // one period of 32768 Hz

struct Board : mcutest::SleepingBoard {
    void apply(const Writes& writes) {
        for (const auto& [address, value] : writes) mcu.write16(address, value);
    }
};

TEST(McuTimerB, FlagsComeWhereTheModeLengthAndLatchesPutThem) {
    // The writes before TBCTL (written last, with TBCLR), TBCTL, the writes at later ticks, the
    // flag watched (0-6 a block's CCIFG, 7 TBIFG) and the ticks it comes at. One case a row (two
    // where it is long).
    // clang-format off
    struct Case { const char* what; Writes setup; std::uint16_t tbctl;
                  std::vector<std::pair<std::uint64_t, Writes>> later; int watch;
                  std::vector<std::uint64_t> ticks; };
    const Writes ccr0is99 = {{cctl(0), 0x10}, {ccr(0), 99}};
    const Case cases[] = {
        {"up: TBCCR0 when TBR counts to TBCL0", ccr0is99, 0x0110, {}, 0, {99, 199, 299}},
        {"up: TBIFG at the wrap to 0", {{ccr(0), 99}}, 0x0112, {}, kTbifg, {100, 200, 300}},
        {"continuous, 8 bits: TBIFG every 256", {}, 0x1922, {}, kTbifg, {256, 512, 768}},
        {"continuous, 10 bits: TBCCR1", {{cctl(1), 0x10}, {ccr(1), 0x100}}, 0x1120, {}, 1, {256, 1280, 2304}},
        {"continuous, 12 bits: TBIFG every 4096", {}, 0x0922, {}, kTbifg, {4096, 8192, 12288}},
        {"up/down: TBCCR0 at the top", {{cctl(0), 0x10}, {ccr(0), 50}}, 0x0130, {}, 0, {50, 150, 250}},
        {"up/down: TBIFG at the bottom", {{ccr(0), 50}}, 0x0132, {}, kTbifg, {100, 200, 300}},
        {"up, TBCL0 beyond 8 bits: counts as continuous", {{ccr(0), 300}}, 0x1912, {}, kTbifg, {256, 512, 768}},
        {"TBR written beyond TBCL0: restarts from 0 at the next tick", {{ccr(0), 99}}, 0x0112,
         {{0, {{kTbr, 500}}}}, kTbifg, {101, 201, 301}},
        {"CLLD 0: a new period at once", ccr0is99, 0x0110, {{30, {{ccr(0), 49}}}}, 0, {49, 99, 149}},
        {"CLLD 1: the new period from the next 0", {{cctl(0), 0x10}, {ccr(0), 99}, {cctl(0), 0x0210}}, 0x0110,
         {{30, {{ccr(0), 49}}}}, 0, {99, 149, 199}},
        {"CLLD 1: TBCL1 at the next 0", {{cctl(1), 0x10}, {ccr(1), 100}, {cctl(1), 0x0210}}, 0x1920,
         {{10, {{ccr(1), 150}}}}, 1, {100, 406, 662}},
        {"CLLD 3: TBCL1 when TBR counts to the old TBCL1", {{cctl(1), 0x10}, {ccr(1), 100}, {cctl(1), 0x0610}},
         0x1920, {{10, {{ccr(1), 150}}}}, 1, {100, 150, 406}},
        {"CLLD 2, up/down: TBCL1 at the top", {{ccr(0), 100}, {cctl(1), 0x10}, {ccr(1), 20}, {cctl(1), 0x0410}},
         0x0130, {{30, {{ccr(1), 60}}}}, 1, {20, 140, 260}},
        {"group of TBCCR1 and 2: waits for both written", {{cctl(1), 0x10}, {ccr(1), 100}, {cctl(1), 0x0210}},
         0x3920, {{150, {{ccr(1), 200}}}}, 1, {100, 356, 612}},
        {"group of TBCCR1 and 2: both written, loaded at 0", {{cctl(1), 0x10}, {ccr(1), 100}, {cctl(1), 0x0210}},
         0x3920, {{150, {{ccr(1), 200}, {ccr(2), 10}}}}, 1, {100, 456, 712}},
        {"all in one group, ruled by TBCCR1's CLLD", {{cctl(0), 0x10}, {ccr(0), 99}, {cctl(1), 0x0200}}, 0x6110,
         {{30, {{ccr(0), 49}, {ccr(1), 0}, {ccr(2), 0}, {ccr(3), 0}, {ccr(4), 0}, {ccr(5), 0}}},
          {60, {{ccr(6), 0}}}}, 0, {99, 149, 199}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Board b;
        b.apply(c.setup);
        b.mcu.write16(kTbctl, static_cast<std::uint16_t>(c.tbctl | 0x0004));
        const std::uint64_t t0 = b.mcu.nowPs();
        std::vector<std::uint64_t> ticks;
        std::size_t next = 0;
        while (ticks.size() < c.ticks.size()) {
            const std::uint64_t t = b.mcu.nextEventPs();
            const std::uint64_t at = next < c.later.size()
                                         ? t0 + c.later[next].first * kAclkPs + kAclkPs / 2
                                         : sim::mcu::kNever;
            if (at < t) {
                b.mcu.runUntil(at);
                b.apply(c.later[next++].second);
                continue;
            }
            ASSERT_LT(t, t0 + 100000 * kAclkPs) << c.what;
            b.mcu.runUntil(t);
            const std::uint16_t reg = c.watch == kTbifg ? kTbctl : cctl(c.watch);
            const std::uint16_t v = b.mcu.read16(reg);
            if (v & 1) {
                ticks.push_back((t - t0) / kAclkPs);
                b.mcu.write16(reg, v & 0xFFFE);
            }
        }
        EXPECT_EQ(ticks, c.ticks) << c.what;
    }
}

TEST(McuTimerB, VectorsAndSoftwareCapture) {
    Board b;
    // TBIV gives the highest pending enabled source and clears it; TBCCR0 has a vector of its own.
    for (int i : {0, 1, 3}) b.mcu.write16(cctl(i), 0x0011);
    b.mcu.write16(kTbctl, 0x0003);
    EXPECT_EQ(b.mcu.requests_ & 0x3000, 0x3000);  // both Timer_B vectors
    for (std::uint16_t expected : {2, 6, 14, 0}) EXPECT_EQ(b.mcu.read16(kTbiv), expected);
    EXPECT_EQ(b.mcu.requests_ & 0x3000, 0x2000);
    b.mcu.cpu().r[2] = 0x0008;  // the CPU awake with GIE
    ASSERT_TRUE(b.mcu.takeInterrupt());
    EXPECT_EQ(b.mcu.read16(cctl(0)) & 1, 0);

    // Capture by software: CCIS from GND to VCC is a rising edge; a second one overruns.
    b.mcu.write16(kTbctl, 0x0124);  // ACLK, continuous
    b.mcu.runUntil(b.mcu.nowPs() + 1000 * kAclkPs);
    b.mcu.write16(cctl(2), 0x6100);            // rising edge, CCIS GND, CAP
    b.mcu.write16(cctl(2), 0x7100);            // CCIS VCC
    EXPECT_EQ(b.mcu.read16(cctl(2)), 0x7109);  // CCI high, CCIFG
    EXPECT_NEAR(b.mcu.read16(ccr(2)), 1000, 1);
    b.mcu.write16(cctl(2), 0x6101);  // a falling edge (CCIFG kept): not captured
    EXPECT_EQ(b.mcu.read16(cctl(2)), 0x6101);
    b.mcu.write16(cctl(2), 0x7101);
    EXPECT_EQ(b.mcu.read16(cctl(2)), 0x710B);  // captured over an unread one: COV
}

TEST(McuTimerB, CapturesFromThePinsP4) {
    // A block set to capture (CM, CCIS, CAP in TBCCTLx), the pin's edges at ticks of a continuous
    // count from ACLK, and what TBCCTLx (CCI, COV, CCIFG) and TBCCRx hold after the last edge.
    struct Case {
        const char* what;
        int block;
        std::uint16_t cctl;
        std::vector<std::pair<std::uint64_t, bool>> edges;
        std::uint16_t flags, captured;
    };
    const Case cases[] = {
        {"CCI1A on P4.1, rising", 1, 0x4100, {{300, true}}, 0x09, 300},
        {"CCI3B on P4.3, falling", 3, 0x9100, {{200, true}, {700, false}}, 0x01, 700},
        {"CCI0A on P4.0, both edges, unread: COV",
         0,
         0xC100,
         {{100, true}, {400, false}},
         0x03,
         400},
        {"CCI6B is ACLK, not the pin", 6, 0x5100, {{300, true}}, 0x00, 0},
    };
    for (const Case& c : cases) {
        Board b;
        b.mcu.write16(kTbctl, 0x0124);  // ACLK, continuous, TBCLR
        b.mcu.write16(cctl(c.block), c.cctl);
        const std::uint64_t t0 = b.mcu.nowPs();
        for (const auto& [tick, high] : c.edges) {
            b.mcu.runUntil(t0 + tick * kAclkPs + kAclkPs / 2);
            b.mcu.driveInput(4, c.block, high);
        }
        EXPECT_EQ(b.mcu.read16(cctl(c.block)) & 0x0B, c.flags) << c.what;
        EXPECT_EQ(b.mcu.read16(ccr(c.block)), c.captured) << c.what;
    }
}

}  // namespace
