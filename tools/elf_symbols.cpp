#include "elf_symbols.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace simbench {
namespace {

std::uint32_t little(const std::vector<unsigned char>& d, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | d[at + static_cast<std::size_t>(i)];
    return v;
}

}  // namespace

bool ElfSymbols::load(const std::string& path) {
    symbols_.clear();
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> d((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
    // ELF magic, 32-bit, little-endian.
    if (d.size() < 52 || d[0] != 0x7F || d[1] != 'E' || d[2] != 'L' || d[3] != 'F' || d[4] != 1 ||
        d[5] != 1)
        return false;
    const std::uint64_t shoff = little(d, 0x20, 4), shentsize = little(d, 0x2E, 2),
                        shnum = little(d, 0x30, 2);
    if (shentsize < 40 || shoff + shnum * shentsize > d.size()) return false;
    for (std::uint64_t s = 0; s < shnum; ++s) {
        const std::size_t sh = static_cast<std::size_t>(shoff + s * shentsize);
        if (little(d, sh + 4, 4) != 2) continue;  // SHT_SYMTAB
        const std::uint64_t off = little(d, sh + 0x10, 4), size = little(d, sh + 0x14, 4),
                            link = little(d, sh + 0x18, 4);
        if (off + size > d.size() || link >= shnum) continue;
        const std::size_t strSh = static_cast<std::size_t>(shoff + link * shentsize);
        const std::uint64_t strOff = little(d, strSh + 0x10, 4),
                            strSize = little(d, strSh + 0x14, 4);
        if (strOff + strSize > d.size()) continue;
        for (std::uint64_t e = off; e + 16 <= off + size; e += 16) {
            const std::size_t at = static_cast<std::size_t>(e);
            const std::uint32_t name = little(d, at, 4);
            const unsigned type = d[at + 12] & 0x0F;
            if (type != 2 || name >= strSize || little(d, at + 14, 2) == 0) continue;  // STT_FUNC
            const auto* begin =
                reinterpret_cast<const char*>(&d[static_cast<std::size_t>(strOff + name)]);
            const std::size_t room = static_cast<std::size_t>(strSize - name);
            symbols_.push_back({little(d, at + 4, 4), little(d, at + 8, 4),
                                std::string(begin, strnlen(begin, room))});
        }
    }
    std::sort(symbols_.begin(), symbols_.end(),
              [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
    return !symbols_.empty();
}

std::string ElfSymbols::describe(std::uint16_t address) const {
    auto after = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                                  [](std::uint32_t a, const Symbol& s) { return a < s.address; });
    if (after == symbols_.begin()) return "";
    const Symbol& s = *std::prev(after);
    const std::uint32_t offset = address - s.address;
    if (s.size != 0 && offset >= s.size) return "";
    char text[24];
    std::snprintf(text, sizeof text, "+0x%X", static_cast<unsigned>(offset));
    return offset ? s.name + text : s.name;
}

}  // namespace simbench
