#include "image/image_store.h"

#include <cstdio>

#include "image/image_cells.h"
#include "image/memory_image.h"
#include "platform/run_output.h"

namespace {
// Set while a load that must say nothing runs (the firmware check made before a run).
thread_local bool quietLoad = false;

void report(const char* format, long where) {
    if (!quietLoad) runPrintf(format, where);
}
}  // namespace

QuietImageLoad::QuietImageLoad(bool quiet) : previous_(quietLoad) { quietLoad = quiet; }
QuietImageLoad::~QuietImageLoad() { quietLoad = previous_; }
bool imageLoadIsQuiet() { return quietLoad; }

int storeImageBytes(std::uint16_t* image, std::uint64_t address, const std::uint8_t* bytes,
                    std::size_t count, long where) {
    const std::uint64_t limit = imageAddressLimit();
    if (address > limit || count > limit - address) return refusePastTop(where);
    for (std::size_t i = 0; i < count; ++i, ++address) {
        // Above 0xFFFF (a newer loader's chip) the cells are the image's upper part.
        if (address >= static_cast<std::uint64_t>(kMemoryImageCells)) {
            const auto wide = static_cast<std::uint32_t>(address);
            if (imageCell(wide) != kEmptyCell && imageCell(wide) != bytes[i]) {
                if (!quietLoad)
                    runPrintf("#[%li] record contradicts earlier data at %05X!\n", where,
                              static_cast<unsigned>(address));
                return kImageRefused;
            }
            setImageCell(wide, bytes[i]);
            continue;
        }
        // The image was emptied before the file was read, so a filled cell is this file's own.
        // The same byte twice is harmless; two different bytes leave no right answer.
        if (image[address] != kEmptyCell && image[address] != bytes[i]) {
            if (!quietLoad)
                runPrintf("#[%li] record contradicts earlier data at %04X!\n", where,
                          static_cast<unsigned>(address));
            return kImageRefused;
        }
        image[address] = bytes[i];
    }
    return kImageLoaded;
}

int refuseMalformed(long where) {
    report("#[%li] malformed record!\n", where);
    return kImageRefused;
}

int refuseChecksum(long where) {
    report("#[%li] checksum error!\n", where);
    return kImageRefused;
}

int refusePastTop(long where) {
    if (imageAddressLimit() > kClassicAddressLimit)
        report("#[%li] record runs past address FFFFF!\n", where);
    else
        report("#[%li] record runs past address FFFF!\n", where);
    return kImageRefused;
}
