// The command line of "bsl430-sim run": the firmware, how long to run it, what the board does to
// it (bytes into its UART, levels on its pins) and what is expected from it.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "sim/mcu/analog_input.h"

namespace simbench {

constexpr std::uint64_t kPsPerSecond = 1000000000000ull;

// Text for the UART, at a time or (untimed) once the firmware listens and its output has paused.
struct Send {
    std::string bytes;
    std::optional<std::uint64_t> ps;
};

// An input pin driven to a level at a time.
struct PinLevel {
    std::uint64_t ps = 0;
    int port = 1, bit = 0;
    bool high = false;
};

// What the board puts on an analog input from a time on: a level, or a ramp that starts then.
struct AnalogLevel {
    std::uint64_t ps = 0;
    int channel = 0;
    sim::mcu::AnalogInput input;
};

struct BenchOptions {
    std::string firmware;
    std::uint64_t limitPs = 10 * kPsPerSecond;
    std::vector<Send> sends;
    std::vector<PinLevel> pins;
    std::vector<AnalogLevel> analog;
    std::optional<std::regex> expect;
    std::string vcdPath;
    double speed = 0;  // times real time; 0: as fast as the host allows
    std::uint32_t xt2Hz = 0;
    std::string chip = "F149";
    int usart = 0;
    bool trace = false;  // also the pins' level changes on standard error
};

// A time: a number with the unit h, min, s, ms, us or ns (plain: seconds), up to 1000 hours.
bool parseTime(const std::string& text, std::uint64_t& ps);
// "P1.3=0@1.5s": port, bit, level and (plain "P1.3=1": at the start) time.
bool parsePin(const std::string& text, PinLevel& pin);
// "A0=1.2V@1s", "A1=ramp:0-3.3V/2s", "TEMP=40C": the channel and level as the served chip's adc=
// setting takes them (with = for its colon) and (plain: at the start) the time they begin.
bool parseAnalog(const std::string& text, AnalogLevel& analog);
// "TEXT[@TIME]" with the escapes \r \n \t \\ \@ and \xHH.
bool parseSend(const std::string& text, Send& send);

// Reads the arguments after "run"; on bad use returns false with the reason in `error`.
bool parseBenchOptions(int argc, char** argv, BenchOptions& options, std::string& error);

}  // namespace simbench
