#include "support/hex_text.h"

#include <algorithm>
#include <cstdio>

namespace testhex {

std::string hexRecords(unsigned address, const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char field[16];
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        const std::size_t n = std::min<std::size_t>(16, bytes.size() - i);
        const unsigned at = address + static_cast<unsigned>(i);
        unsigned sum = static_cast<unsigned>(n) + ((at >> 8) & 0xFF) + (at & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X00", static_cast<unsigned>(n), at & 0xFFFF);
        text += field;
        for (std::size_t k = 0; k < n; ++k) {
            std::snprintf(field, sizeof field, "%02X", bytes[i + k]);
            text += field;
            sum += bytes[i + k];
        }
        std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
    }
    return text;
}

std::string hexEnd() { return ":00000001FF\n"; }

}  // namespace testhex
