#include "sim/newer_chips.h"

#include <algorithm>
#include <cctype>

namespace sim {
namespace {

// From the parts' data sheets. The F5529's RAM includes the 2 KiB the USB module shares; the
// FR2355 keeps its RAM at 0x2000. The version bytes' API byte tells flash (0x00 range) from FRAM
// (0x30); the interface byte a USCI (0x50 range) from an eUSCI (0x70 range) UART.
constexpr NewerChip kNewerChips[] = {
    // name      kind                ID      RAM               main               version  buffer
    {"F5529", NewerKind::Flash, 0x5529, 0x1C00, 0x4400, 0x4400, 0x24400, {0x00, 0x01, 0x01, 0x01},
     0x0104},
    {"F5438A", NewerKind::Flash, 0x5438, 0x1C00, 0x5C00, 0x5C00, 0x45C00, {0x00, 0x04, 0x00, 0x50},
     0x0104},
    {"FR5969", NewerKind::Fram, 0x8169, 0x1C00, 0x2400, 0x4400, 0x14000, {0x00, 0x08, 0x30, 0x70},
     0x0104},
    {"FR2355", NewerKind::FramSmall, 0x830C, 0x2000, 0x3000, 0x8000, 0x10000,
     {0x00, 0x09, 0x30, 0x71}, 0x0104},
};

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

const NewerChip* newerChipNamed(const std::string& name) {
    for (const NewerChip& chip : kNewerChips)
        if (sameName(chip.name, name)) return &chip;
    return nullptr;
}

std::string newerChipNames() {
    std::string names;
    for (const NewerChip& chip : kNewerChips) {
        if (!names.empty()) names += ", ";
        names += chip.name;
    }
    return names;
}

}  // namespace sim
