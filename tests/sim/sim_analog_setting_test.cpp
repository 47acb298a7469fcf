// The adc= setting: the channel names, levels in their units, ramps, and what is refused.
#include <gtest/gtest.h>

#include "sim/analog_setting.h"
#include "sim/settings.h"
#include "sim/sim_config.h"

namespace {

TEST(SimAnalogSetting, LevelsAndRampsAndRefusals) {
    struct Case {
        const char* text;
        int channel;
        double from, to;
        std::uint64_t rampMs;
    };
    const Case accepted[] = {
        {"A0:1.2V", 0, 1200, 1200, 0},
        {"a7:250mV", 7, 250, 250, 0},
        {"VEREF+:2.5V", sim::mcu::kAnalogVeRefPlus, 2500, 2500, 0},
        {"veref-:0.1v", sim::mcu::kAnalogVeRefMinus, 100, 100, 0},
        {"TEMP:-12.5C", sim::mcu::kAnalogTemperature, -12.5, -12.5, 0},
        {"A1:ramp:0-3.3V/1s", 1, 0, 3300, 1000},
        {"A2:ramp:3000mV-0.5V/250", 2, 3000, 500, 250},
        {"TEMP:ramp:-10-40C/10s", sim::mcu::kAnalogTemperature, -10, 40, 10000},
    };
    for (const Case& c : accepted) {
        int channel = -1;
        sim::mcu::AnalogInput input;
        ASSERT_TRUE(sim::parseAnalogSetting(c.text, channel, input)) << c.text;
        EXPECT_EQ(channel, c.channel) << c.text;
        EXPECT_DOUBLE_EQ(input.from, c.from) << c.text;
        EXPECT_DOUBLE_EQ(input.to, c.to) << c.text;
        EXPECT_EQ(input.rampPs, c.rampMs * 1000000000) << c.text;
    }
    const char* refused[] = {
        "A8:1V",
        "A0",
        "A0:",
        "A0:1.2",
        "A0:3.4V",
        "A0:-1V",
        "A0:1.2.3V",
        "A0:1e3mV",
        "TEMP:20",
        "TEMP:200C",
        "A0:20C",
        "A0:ramp:0-3.3V",
        "A0:ramp:0-3.3V/0",
        "A0:ramp:3.3V/1s",
        "A0:ramp:0-3.3/1s",
        "A0:ramp:0-4V/1s",
        "A0:ramp:0-3.3V/2h",
        "A0:1234567890123V",
    };
    for (const char* text : refused) {
        int channel = -1;
        sim::mcu::AnalogInput input;
        EXPECT_FALSE(sim::parseAnalogSetting(text, channel, input)) << text;
    }
}

TEST(SimAnalogSetting, RepeatedInTheSettingsAndTheRampFollowsTime) {
    sim::SimConfig config;
    std::string error;
    ASSERT_TRUE(sim::parseSimSettings("adc=A0:1V,blank,adc=A1:ramp:1-3V/2s", config, error));
    ASSERT_EQ(config.analogInputs.size(), 2u);
    const sim::mcu::AnalogInput& ramp = config.analogInputs[1].input;
    EXPECT_DOUBLE_EQ(ramp.at(0), 1000);
    EXPECT_DOUBLE_EQ(ramp.at(500000000000ull), 1500);
    EXPECT_DOUBLE_EQ(ramp.at(5000000000000ull), 3000);  // held at its end
    EXPECT_FALSE(sim::parseSimSettings("adc=A0:1V,A1:2V", config, error));
}

}  // namespace
