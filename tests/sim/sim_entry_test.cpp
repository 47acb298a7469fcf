// When the simulated chip starts its loader, its application, or nothing: the entry condition on
// RST/NMI and TEST with its timing, the loader's start-up time and the application's greeting.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "sim_wire.h"

using namespace simtest;

namespace {

// Plays line steps: R<level> sets RST/NMI, T<level> sets TEST (1 rest, 0 pulse), w<ms> waits.
void play(Wire& w, const std::string& steps) {
    std::istringstream in(steps);
    std::string step;
    while (in >> step) {
        const int value = std::stoi(step.substr(1));
        if (step[0] == 'R') w.reset(value);
        if (step[0] == 'T') w.test(value);
        if (step[0] == 'w') w.wait(value);
    }
}

const std::string kToolSequence = "R0 T0 w100 T1 w100 R0 w100 T0 T1 T0 R1 T1 w250";

}  // namespace

TEST(SimEntry, LineSequencesAndTimings) {
    struct Case {
        const char* what;
        std::string steps;
        bool invertedBoard = false;
        bool hostTestMode = false;
        bool loader = true;
    };
    const Case cases[] = {
        {"the tool's sequence", kToolSequence},
        {"inverted board driven in test mode", kToolSequence, true, true},
        {"test mode on a normal board", kToolSequence, false, true, false},
        {"normal host on an inverted board", kToolSequence, true, false, false},
        {"the sequence played twice (reset released in between)",
         kToolSequence + " w100 T1 w100 R0 w100 T0 T1 T0 R1 T1 w250"},
        {"TEST rest of 150 ms", "R0 T0 w100 T1 w50 R0 w100 T0 T1 T0 R1 T1 w250", false, false,
         false},
        {"TEST rest of exactly 200 ms", "R0 T0 T1 w200 T0 T1 T0 R1 T1 w250"},
        {"one pulse", "R0 T0 w100 T1 w200 T0 R1 T1 w250", false, false, false},
        {"three pulses", "R0 T0 w100 T1 w200 T0 T1 T0 T1 T0 R1 T1 w250", false, false, false},
        {"released after the second pulse", "R0 T0 w100 T1 w200 T0 T1 T0 T1 R1 w250", false, false,
         false},
        {"pulses while not held in reset", "R1 T0 w100 T1 w200 T0 T1 T0 R0 R1 T1 w250", false,
         false, false},
        {"plain reset", "R0 T1 w300 R1 w250", false, false, false},
        {"slow pulses still count", "R0 T0 w100 T1 w200 T0 w20 T1 w20 T0 w20 R1 w5 T1 w250"},
    };
    for (const Case& c : cases) {
        sim::SimConfig config;
        config.invertTest = c.invertedBoard;
        Wire w(config);
        w.testMode = c.hostTestMode;
        play(w, c.steps);
        w.arrived.clear();
        EXPECT_EQ(w.target->mode() == sim::SimTarget::Mode::Loader, c.loader) << c.what;
        w.send({0x80});
        EXPECT_EQ(w.take(20) == Bytes{0x90}, c.loader) << c.what;
    }
}

TEST(SimEntry, LoaderIgnoresBytesBeforeItIsReadyAndWhileTestPulses) {
    Wire w;
    play(w, "R0 T0 w100 T1 w200 T0 T1 T0 R1");
    w.send({0x80});  // ends 1.15 ms after the release, before the loader listens
    EXPECT_TRUE(w.take(1).empty());
    w.send({0x80});  // TEST still in its pulse state
    EXPECT_TRUE(w.take(5).empty());
    w.test(1);
    w.send({0x80});
    EXPECT_EQ(w.take(5), Bytes{0x90});
}

TEST(SimEntry, IgnoredEntryRunsTheFirmware) {
    sim::SimConfig config;
    config.ignoreEntry = true;
    Wire w(config);
    play(w, kToolSequence);
    EXPECT_EQ(w.target->mode(), sim::SimTarget::Mode::Application);
    EXPECT_EQ(w.target->loaderStarts(), 0u);
}

TEST(SimApplication, GreetsAtItsOwnSpeedAndEchoes) {
    struct Case {
        const char* what;
        std::uint32_t appBaud;
        platform::LineFormat host;
        bool readable;
    };
    const Case cases[] = {
        {"terminal at 115200 8N1", 115200, {115200, 8, 0, 0}, true},
        {"terminal at 9600 for a 9600 firmware", 9600, {9600, 8, 0, 0}, true},
        {"host still at the loader's 9600 8E1", 115200, kLoader, false},
    };
    for (const Case& c : cases) {
        sim::SimConfig config;
        config.appFormat.baud = c.appBaud;
        Wire w(config);
        w.setFormat(c.host);
        play(w, "R0 w50 R1");
        const std::string greeting = config.appGreeting;
        Bytes got = w.take(300);
        EXPECT_EQ(got == Bytes(greeting.begin(), greeting.end()), c.readable) << c.what;
        w.send({'h', 'i'});
        EXPECT_EQ(w.take(5) == Bytes({'h', 'i'}), c.readable) << c.what;
    }
}

TEST(SimApplication, ErasedChipRunsWildSilentlyAndTheWatchdogResetsIt) {
    sim::SimConfig config;
    config.blankFlash = true;
    Wire w(config);
    w.setFormat({115200, 8, 0, 0});
    play(w, "R0 w50 R1");
    EXPECT_TRUE(w.take(100).empty());
    EXPECT_EQ(w.target->mode(), sim::SimTarget::Mode::Application);
    // The watchdog runs from reset: about 41 ms at the DCO's 800 kHz, so a few resets by now.
    EXPECT_GE(w.target->mcu().resets(), 3u);
}

TEST(SimApplication, ResetCutsOffTheGreeting) {
    Wire w;
    w.setFormat({115200, 8, 0, 0});
    play(w, "R0 w50 R1 w2 R0");
    EXPECT_LT(w.take(100).size(), sim::SimConfig{}.appGreeting.size());
    EXPECT_EQ(w.target->mode(), sim::SimTarget::Mode::Halted);
}
