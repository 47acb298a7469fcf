#include "sim/setting_values.h"

#include <cctype>
#include <cstdlib>

#include "sim/sim_config.h"

namespace sim {

std::vector<std::string> splitSetting(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type begin = 0;
    for (;;) {
        std::string::size_type end = text.find(separator, begin);
        parts.push_back(
            text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

bool parseUnsigned(const std::string& text, int base, unsigned long long limit,
                   unsigned long long& value) {
    std::string digits = text;
    const bool prefixed =
        digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (base == 16 && prefixed) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 12) return false;
    for (char c : digits) {
        const auto u = static_cast<unsigned char>(c);
        if (base == 16 ? !std::isxdigit(u) : !std::isdigit(u)) return false;
    }
    value = std::strtoull(digits.c_str(), nullptr, base);
    return value <= limit;
}

bool parseByte(const std::string& text, std::uint8_t& byte) {
    unsigned long long b = 0;
    if (text.size() > 4 || !parseUnsigned(text, 16, 0xFF, b)) return false;
    byte = static_cast<std::uint8_t>(b);
    return true;
}

bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    if (text.empty() || text.size() % 2 != 0 || text.size() > 512) return false;
    for (std::string::size_type i = 0; i < text.size(); i += 2) {
        unsigned long long b = 0;
        if (!parseUnsigned(text.substr(i, 2), 16, 0xFF, b)) return false;
        bytes.push_back(static_cast<std::uint8_t>(b));
    }
    return true;
}

bool parseCount(const std::string& text, unsigned& nth, bool& andLater) {
    std::string digits = text;
    andLater = !digits.empty() && digits.back() == '+';
    if (andLater) digits.pop_back();
    unsigned long long n = 0;
    if (!parseUnsigned(digits, 10, 1000000000ull, n) || n == 0) return false;
    nth = static_cast<unsigned>(n);
    return true;
}

bool parseDuration(const std::string& text, std::uint64_t& ns) {
    std::string::size_type unitAt = 0;
    while (unitAt < text.size() && std::isdigit(static_cast<unsigned char>(text[unitAt]))) ++unitAt;
    std::string unit = text.substr(unitAt);
    std::uint64_t scale = 0;
    if (unit.empty() || unit == "ms")
        scale = kNsPerMs;
    else if (unit == "us")
        scale = kNsPerUs;
    else if (unit == "ns")
        scale = 1;
    else if (unit == "s")
        scale = 1000 * kNsPerMs;
    else
        return false;
    unsigned long long value = 0;
    if (!parseUnsigned(text.substr(0, unitAt), 10, 3600ull * 1000 * kNsPerMs / scale, value))
        return false;
    ns = value * scale;
    return true;
}

bool parseVersion(const std::string& text, std::uint8_t& major, std::uint8_t& minor) {
    std::vector<std::string> parts = splitSetting(text, '.');
    unsigned long long a = 0, b = 0;
    if (parts.size() != 2 || parts[0].size() > 2 || parts[1].size() > 2) return false;
    if (!parseUnsigned(parts[0], 16, 0xFF, a) || !parseUnsigned(parts[1], 16, 0xFF, b))
        return false;
    major = static_cast<std::uint8_t>(a);
    minor = static_cast<std::uint8_t>(b);
    return true;
}

}  // namespace sim
