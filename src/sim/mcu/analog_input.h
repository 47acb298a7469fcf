// What the board puts on the chip's analog inputs: a steady level or a ramp from one level to
// another, on the chip's time base. Voltages are in millivolts; the temperature sensor's input is
// the chip's temperature in degrees Celsius.
#pragma once

#include <cstdint>

namespace sim::mcu {

// The board's analog supply, which is also the ADC12's AVcc reference.
constexpr double kAvccMv = 3300;

// The inputs the board drives: A0-A7 (P6.0-P6.7), the external references and the temperature.
enum AnalogChannel : int {
    kAnalogA0 = 0,
    kAnalogVeRefPlus = 8,   // VeREF+
    kAnalogVeRefMinus = 9,  // VREF-/VeREF-
    kAnalogTemperature = 10,
    kAnalogChannels = 11
};

struct AnalogInput {
    double from = 0, to = 0;  // the level, or where a ramp starts and ends
    std::uint64_t startPs = 0;
    std::uint64_t rampPs = 0;  // 0: a steady level `from`; else `to` is reached after this long

    double at(std::uint64_t ps) const {
        if (rampPs == 0 || ps <= startPs) return from;
        if (ps - startPs >= rampPs) return to;
        return from + (to - from) * static_cast<double>(ps - startPs) / static_cast<double>(rampPs);
    }
};

}  // namespace sim::mcu
