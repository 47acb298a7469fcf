#include "bench_options.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "sim/analog_setting.h"
#include "sim/chip.h"

namespace simbench {
namespace {

bool parseNumber(const std::string& text, double& value) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool parseUnsigned(const std::string& text, std::uint32_t& value) {
    double d = 0;
    if (!parseNumber(text, d) || d != std::floor(d) || d > 4294967295.0) return false;
    value = static_cast<std::uint32_t>(d);
    return true;
}

// A line of a script: "pin P1.3=0@1.5s", "adc A0=1.2V@1s", "send TEXT@2s", blank or a "#"
// comment.
bool scriptLine(const std::string& line, BenchOptions& options) {
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') return true;
    std::string rest = line.substr(start);
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == ' ')) rest.pop_back();
    if (rest.compare(0, 4, "pin ") == 0) {
        PinLevel pin;
        if (!parsePin(rest.substr(4), pin)) return false;
        options.pins.push_back(pin);
        return true;
    }
    if (rest.compare(0, 4, "adc ") == 0) {
        AnalogLevel analog;
        if (!parseAnalog(rest.substr(4), analog)) return false;
        options.analog.push_back(analog);
        return true;
    }
    if (rest.compare(0, 5, "send ") == 0) {
        Send send;
        if (!parseSend(rest.substr(5), send)) return false;
        options.sends.push_back(send);
        return true;
    }
    return false;
}

bool readScript(const std::string& path, BenchOptions& options, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read the script " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!scriptLine(line, options)) {
            error = path + ":" + std::to_string(number) + ": not \"pin Pn.b=0|1[@TIME]\", " +
                    "\"adc CH=LEVEL[@TIME]\" or \"send TEXT[@TIME]\"";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseTime(const std::string& text, std::uint64_t& ps) {
    static const struct {
        const char* unit;
        double ps;
    } kUnits[] = {{"min", 60e12}, {"ms", 1e9},    {"us", 1e6},
                  {"ns", 1e3},    {"h", 3600e12}, {"s", 1e12}};
    std::string number = text;
    double scale = 1e12;
    for (const auto& u : kUnits) {
        const std::size_t n = std::strlen(u.unit);
        if (text.size() > n && text.compare(text.size() - n, n, u.unit) == 0) {
            number = text.substr(0, text.size() - n);
            scale = u.ps;
            break;
        }
    }
    double value = 0;
    if (!parseNumber(number, value) || value * scale > 3600e12 * 1000) return false;
    ps = static_cast<std::uint64_t>(std::llround(value * scale));
    return true;
}

bool parsePin(const std::string& text, PinLevel& pin) {
    std::string setting = text;
    pin.ps = 0;
    const std::size_t at = setting.find('@');
    if (at != std::string::npos) {
        if (!parseTime(setting.substr(at + 1), pin.ps)) return false;
        setting.resize(at);
    }
    if (setting.size() != 6 || (setting[0] != 'P' && setting[0] != 'p') || setting[2] != '.' ||
        setting[4] != '=')
        return false;
    if (setting[1] < '1' || setting[1] > '6' || setting[3] < '0' || setting[3] > '7') return false;
    if (setting[5] != '0' && setting[5] != '1') return false;
    pin.port = setting[1] - '0';
    pin.bit = setting[3] - '0';
    pin.high = setting[5] == '1';
    return true;
}

bool parseAnalog(const std::string& text, AnalogLevel& analog) {
    std::string setting = text;
    analog.ps = 0;
    const std::size_t at = setting.find('@');
    if (at != std::string::npos) {
        if (!parseTime(setting.substr(at + 1), analog.ps)) return false;
        setting.resize(at);
    }
    const std::size_t equals = setting.find('=');
    if (equals == std::string::npos) return false;
    setting[equals] = ':';
    if (!sim::parseAnalogSetting(setting, analog.channel, analog.input)) return false;
    analog.input.startPs = analog.ps;
    return true;
}

bool parseSend(const std::string& text, Send& send) {
    send.bytes.clear();
    send.ps.reset();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '@') {
            std::uint64_t ps = 0;
            if (!parseTime(text.substr(i + 1), ps)) return false;
            send.ps = ps;
            return true;
        }
        if (c != '\\') {
            send.bytes += c;
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r': send.bytes += '\r'; break;
            case 'n': send.bytes += '\n'; break;
            case 't': send.bytes += '\t'; break;
            case '\\':
            case '@': send.bytes += text[i]; break;
            case 'x': {
                if (i + 2 >= text.size() ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
                    return false;
                send.bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool parseBenchOptions(int argc, char** argv, BenchOptions& options, std::string& error) {
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        auto bad = [&](const char* what) {
            error = "bad " + arg + " \"" + value + "\": " + what;
            return false;
        };
        if (arg.compare(0, 2, "--") != 0) {
            if (!options.firmware.empty()) {
                error = "one firmware only: " + arg;
                return false;
            }
            options.firmware = arg;
            continue;
        }
        if (arg == "--trace") {
            options.trace = true;
            continue;
        }
        if (!hasValue) {
            error = arg == "--for" || arg == "--send" || arg == "--expect" || arg == "--pin" ||
                            arg == "--adc" || arg == "--script" || arg == "--vcd" ||
                            arg == "--speed" || arg == "--xt2" || arg == "--chip" || arg == "--uart"
                        ? arg + " needs a value"
                        : "unknown option " + arg;
            return false;
        }
        ++i;
        if (arg == "--for") {
            if (!parseTime(value, options.limitPs) || options.limitPs == 0)
                return bad("a time such as 2s, 500ms or 1h");
        } else if (arg == "--send") {
            Send send;
            if (!parseSend(value, send))
                return bad("TEXT[@TIME], escapes \\r \\n \\t \\\\ \\@ \\xHH");
            options.sends.push_back(send);
        } else if (arg == "--expect") {
            try {
                options.expect.emplace(value, std::regex::ECMAScript);
            } catch (const std::regex_error& e) {
                return bad(e.what());
            }
        } else if (arg == "--pin") {
            PinLevel pin;
            if (!parsePin(value, pin)) return bad("Pn.b=0|1[@TIME], such as P1.3=0@1.5s");
            options.pins.push_back(pin);
        } else if (arg == "--adc") {
            AnalogLevel analog;
            if (!parseAnalog(value, analog))
                return bad("CH=LEVEL[@TIME] or CH=ramp:FROM-TO/TIME[@TIME], such as A0=1.2V@1s");
            options.analog.push_back(analog);
        } else if (arg == "--script") {
            if (!readScript(value, options, error)) return false;
        } else if (arg == "--vcd") {
            options.vcdPath = value;
        } else if (arg == "--speed") {
            if (!parseNumber(value, options.speed) || options.speed <= 0 || options.speed > 1e6)
                return bad("a factor of real time above 0");
        } else if (arg == "--xt2") {
            if (!parseUnsigned(value, options.xt2Hz) || options.xt2Hz > 16000000)
                return bad("a crystal frequency in Hz, up to 16000000");
        } else if (arg == "--chip") {
            if (!sim::chipModelNamed(value)) return bad("F1232, F149, F169 or F1611");
            options.chip = value;
        } else if (arg == "--uart") {
            if (value != "usart0" && value != "usart1") return bad("usart0 or usart1");
            options.usart = value == "usart1" ? 1 : 0;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (options.firmware.empty()) {
        error = "no firmware file";
        return false;
    }
    const sim::ChipModel* chip = sim::chipModelNamed(options.chip);
    if (!options.analog.empty() && chip && !sim::hasAdc12(*chip)) {
        error = "--adc: " + sim::noAdc12(*chip);
        return false;
    }
    return true;
}

}  // namespace simbench
