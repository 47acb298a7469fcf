#include "image/newer_chip_areas.h"

#include <cstdint>

#include "image/image_cells.h"
#include "platform/run_output.h"

namespace {

struct Area {
    std::uint32_t first;
    std::uint32_t last;
    const char* what;
};

// Every newer chip has the same low addresses: peripherals, the loader, the information memory
// (INFO_A locked unless the loader is told to toggle its lock, which this program never does),
// the device descriptor. Main memory and RAM differ from chip to chip.
constexpr Area kClosedAreas[] = {
    {0x0000, 0x0FFF, "the peripherals' registers, where there is no memory"},
    {0x1000, 0x17FF, "the loader's own memory"},
    {0x1980, 0x19FF, "information memory A, which stays locked"},
    {0x1A00, 0x1BFF, "the device descriptor, which cannot be written"},
};

}  // namespace

int refuseForNewerFamily() {
    for (const Area& area : kClosedAreas)
        for (std::uint32_t a = area.first; a <= area.last; ++a)
            if (imageCell(a) != kEmptyCell) {
                runReason("the firmware has data at 0x%04X, in %s", static_cast<unsigned>(a),
                          area.what);
                return 1;
            }
    return 0;
}
