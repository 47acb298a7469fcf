// The example firmware for Timer_B and the ADC12 on the simulated board: adc12 prints the levels
// the board's settings put on its inputs, timerb the lengths of its compare intervals, and the
// pins its compare interrupts toggle change at those intervals on the virtual clock.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "sim/settings.h"
#include "support/paths.h"

using namespace firmwaretest;

namespace {

std::string example(const char* name) { return testpaths::sourceDir() + "/examples/" + name; }

TEST(FirmwarePeripherals, Adc12PrintsTheBoardsLevelsAndTemperature) {
    sim::SimConfig config = blankChip();
    std::string error;
    ASSERT_TRUE(sim::parseSimSettings(
        "adc=A0:1.65V,adc=A1:ramp:0-3.3V/2s,adc=A5:125mV,adc=A7:3.3V,adc=TEMP:40C", config, error))
        << error;
    Board board(config);
    ASSERT_TRUE(board.load(example("adc12.hex")));
    board.reset();
    ASSERT_TRUE(board.runUntil(" C\r\n", 1000)) << board.received();
    board.wait(1000);  // four more lines, a quarter second apart

    static const std::regex kLine(
        R"(A0=(\d+) A1=(\d+) A2=0 A3=0 A4=0 A5=(\d+) A6=0 A7=(\d+) mV, (-?\d+\.\d) C\r\n)");
    const std::string text = board.received();
    std::vector<int> ramp;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kLine);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;  // A0, A5, A7 and the temperature
        EXPECT_EQ((std::vector<std::string>{m[1], m[3], m[4], m[5]}),
                  (std::vector<std::string>{"1650", "125", "3300", "40.0"}));
        ramp.push_back(std::stoi(m[2]));
    }
    ASSERT_GE(ramp.size(), 4u) << text;
    // A1 rises 3300 mV in 2 s: 412.5 mV between lines.
    for (std::size_t i = 1; i < ramp.size(); ++i) EXPECT_NEAR(ramp[i] - ramp[i - 1], 412.5, 2.0);
}

TEST(FirmwarePeripherals, TimerBCompareIntervalsOnTheVirtualClock) {
    Board board;
    ASSERT_TRUE(board.load(example("timerb.hex")));
    board.reset();
    board.chip->clearTrace();
    ASSERT_TRUE(board.runUntil(" SMCLK\r\n", 1000)) << board.received();
    board.wait(500);

    // 328 counts of 32768 Hz in counts of the 800 kHz DCO: 8007.8, give or take the few cycles
    // the interrupted instruction delays the handler.
    static const std::regex kLine(R"(TBCCR1 328 ACLK =((?: \d+){8}) SMCLK\r\n)");
    std::smatch m;
    const std::string text = board.received();
    ASSERT_TRUE(std::regex_search(text, m, kLine)) << text;
    std::istringstream lengths(m[1]);
    for (int length; lengths >> length;) EXPECT_NEAR(length, 8007.8, 6.0);

    // P1.1 toggles every 328 counts (10.0098 ms), P1.2 every 1638 (49.9878 ms).
    const std::pair<const char*, double> pins[] = {{"P1.1 ", 328 / 32.768},
                                                   {"P1.2 ", 1638 / 32.768}};
    for (const auto& [pin, ms] : pins) {
        std::vector<std::uint64_t> times;  // when the trace shows the pin change
        for (const sim::TraceEntry& e : board.chip->trace())
            if (e.kind == sim::TraceEntry::Kind::Event && e.text.rfind(pin, 0) == 0)
                times.push_back(e.timeNs);
        ASSERT_GE(times.size(), 5u) << pin;
        for (std::size_t i = 1; i < times.size(); ++i)
            EXPECT_NEAR(double(times[i] - times[i - 1]) / kMs, ms, 0.01) << pin;
    }
}

}  // namespace
