// The adc= setting: the channel names, levels in their units, ramps, and what is refused. The
// firmware tests give it through the settings and see the ramp move.
#include <gtest/gtest.h>

#include "sim/analog_setting.h"

namespace {

TEST(SimAnalogSetting, LevelsAndRampsAndRefusals) {
    // clang-format off
    struct Case { const char* text; int channel; double from, to; std::uint64_t rampMs; };
    const Case accepted[] = {
        {"a7:250mV", 7, 250, 250, 0},
        {"VEREF+:2.5V", sim::mcu::kAnalogVeRefPlus, 2500, 2500, 0},
        {"veref-:0.1v", sim::mcu::kAnalogVeRefMinus, 100, 100, 0},
        {"TEMP:-12.5C", sim::mcu::kAnalogTemperature, -12.5, -12.5, 0},
        {"A1:ramp:0-3.3V/1s", 1, 0, 3300, 1000},
        {"A2:ramp:3000mV-0.5V/250", 2, 3000, 500, 250},
        {"TEMP:ramp:-10-40C/10s", sim::mcu::kAnalogTemperature, -10, 40, 10000},
    };
    // clang-format on
    for (const Case& c : accepted) {
        int channel = -1;
        sim::mcu::AnalogInput input;
        ASSERT_TRUE(sim::parseAnalogSetting(c.text, channel, input)) << c.text;
        EXPECT_EQ(channel, c.channel) << c.text;
        EXPECT_DOUBLE_EQ(input.from, c.from) << c.text;
        EXPECT_DOUBLE_EQ(input.to, c.to) << c.text;
        EXPECT_EQ(input.rampPs, c.rampMs * 1000000000) << c.text;
    }
    // clang-format off
    const char* refused[] = {
        "A8:1V", "A0", "A0:", "A0:1.2", "A0:3.4V", "A0:-1V", "A0:1.2.3V", "A0:1e3mV", "TEMP:20",
        "TEMP:200C", "A0:20C", "A0:ramp:0-3.3V", "A0:ramp:0-3.3V/0", "A0:ramp:3.3V/1s",
        "A0:ramp:0-3.3/1s", "A0:ramp:0-4V/1s", "A0:ramp:0-3.3V/2h", "A0:1234567890123V"};
    // clang-format on
    for (const char* text : refused) {
        int channel = -1;
        sim::mcu::AnalogInput input;
        EXPECT_FALSE(sim::parseAnalogSetting(text, channel, input)) << text;
    }
}

}  // namespace
