// The functions of an ELF firmware, from its symbol table, so that an address can be told as
// "main+0x12".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simbench {

class ElfSymbols {
public:
    // Reads the symbol table of a 32-bit little-endian ELF file; false (and no symbols) when the
    // file is not one or has none.
    bool load(const std::string& path);
    // "name+0xN" for the function that holds `address`, or "" when none does.
    std::string describe(std::uint16_t address) const;
    bool empty() const { return symbols_.empty(); }

private:
    struct Symbol {
        std::uint32_t address, size;
        std::string name;
    };
    std::vector<Symbol> symbols_;  // by address
};

}  // namespace simbench
