// The value syntaxes of the simulated device's settings, shared by the settings and the faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

std::vector<std::string> splitSetting(const std::string& text, char separator);

// Digits in `base` (hex may carry 0x), at most 12, no greater than `limit`.
bool parseUnsigned(const std::string& text, int base, unsigned long long limit,
                   unsigned long long& value);

// A byte in hex, at most four characters with any 0x.
bool parseByte(const std::string& text, std::uint8_t& byte);

// Pairs of hex digits, 1 to 256 bytes.
bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes);

// "N" or "N+" (the Nth and every later one); N counts from 1.
bool parseCount(const std::string& text, unsigned& nth, bool& andLater);

// A duration: a decimal number with the unit ns, us, ms or s (ms when none is given), at most an
// hour.
bool parseDuration(const std::string& text, std::uint64_t& ns);

// A loader version as it is shown: "1.10" is the bytes 01 10, "2.02" the bytes 02 02.
bool parseVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor);

}  // namespace sim
