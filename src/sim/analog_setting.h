// The `adc=` setting of the simulated device: what the board puts on one analog input.
#pragma once

#include <string>

#include "sim/mcu/analog_input.h"

namespace sim {

// CHANNEL:LEVEL or CHANNEL:ramp:FROM-TO/TIME. CHANNEL is A0-A7, VEREF+, VEREF- or TEMP (any
// case); a level is volts with V or mV (0 to AVcc, 3.3 V), or for TEMP degrees Celsius with C
// (-55 to 150); FROM takes TO's unit when it has none. A ramp starts at power-on and stays at TO
// after TIME (a duration as the other settings take it, more than 0).
bool parseAnalogSetting(const std::string& text, int& channel, mcu::AnalogInput& input);

}  // namespace sim
