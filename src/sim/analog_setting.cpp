#include "sim/analog_setting.h"

#include <cctype>
#include <cstdlib>

#include "sim/setting_values.h"

namespace sim {
namespace {

bool channelNamed(std::string name, int& channel) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.size() == 2 && name[0] == 'A' && name[1] >= '0' && name[1] <= '7') {
        channel = mcu::kAnalogA0 + (name[1] - '0');
    } else if (name == "VEREF+") {
        channel = mcu::kAnalogVeRefPlus;
    } else if (name == "VEREF-") {
        channel = mcu::kAnalogVeRefMinus;
    } else if (name == "TEMP") {
        channel = mcu::kAnalogTemperature;
    } else {
        return false;
    }
    return true;
}

// A decimal number (digits with at most one point, a leading minus where allowed) and the unit
// after it; at most 12 characters of number.
bool number(const std::string& text, bool allowMinus, double& value, std::string& unit) {
    std::string::size_type end = 0;
    if (allowMinus && end < text.size() && text[end] == '-') ++end;
    bool digits = false, point = false;
    for (; end < text.size(); ++end) {
        const char c = text[end];
        if (std::isdigit(static_cast<unsigned char>(c))) {
            digits = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!digits || end > 12) return false;
    value = std::strtod(text.substr(0, end).c_str(), nullptr);
    unit = text.substr(end);
    return true;
}

// A level in the channel's own unit (millivolts, or degrees for the temperature); `fallback` is
// the unit a bare number takes ("" for none).
bool level(const std::string& text, bool temperature, const std::string& fallback, double& value,
           std::string& unit) {
    if (!number(text, temperature, value, unit)) return false;
    if (unit.empty()) unit = fallback;
    std::string u = unit;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (temperature) return u == "C" && value >= -55 && value <= 150;
    if (u == "V")
        value *= 1000;
    else if (u != "MV")
        return false;
    return value <= mcu::kAvccMv;
}

}  // namespace

bool parseAnalogSetting(const std::string& text, int& channel, mcu::AnalogInput& input) {
    const std::string::size_type colon = text.find(':');
    if (colon == std::string::npos || !channelNamed(text.substr(0, colon), channel)) return false;
    const bool temperature = channel == mcu::kAnalogTemperature;
    std::string rest = text.substr(colon + 1), unit;
    input = {};
    if (rest.rfind("ramp:", 0) != 0) {
        if (!level(rest, temperature, "", input.from, unit)) return false;
        input.to = input.from;
        return true;
    }
    rest = rest.substr(5);
    const std::string::size_type slash = rest.find('/');
    const std::string::size_type dash = rest.find('-', 1);  // past a first level's minus sign
    if (slash == std::string::npos || dash == std::string::npos || dash > slash) return false;
    std::uint64_t ns = 0;
    if (!parseDuration(rest.substr(slash + 1), ns) || ns == 0) return false;
    if (!level(rest.substr(dash + 1, slash - dash - 1), temperature, "", input.to, unit))
        return false;
    std::string firstUnit;
    if (!level(rest.substr(0, dash), temperature, unit, input.from, firstUnit)) return false;
    input.rampPs = ns * 1000;
    return true;
}

}  // namespace sim
