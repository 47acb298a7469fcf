#include "image/image_store.h"

#include <cstdio>

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
    if (address > static_cast<std::uint64_t>(kMemoryImageCells) ||
        count > static_cast<std::uint64_t>(kMemoryImageCells) - address)
        return refusePastTop(where);
    for (std::size_t i = 0; i < count; ++i, ++address) {
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
    report("#[%li] record runs past address FFFF!\n", where);
    return kImageRefused;
}
