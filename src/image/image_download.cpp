#include "image/image_download.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bsl/frame_exchange.h"
#include "bsl/loader_family.h"
#include "image/image_cells.h"
#include "image/image_file.h"
#include "image/memory_image.h"
#include "options/program_options.h"
#include "platform/run_output.h"

namespace {

// The largest block any loader family takes; the family's own limit is usually smaller.
constexpr int kBlockBufferBytes = 1024;
constexpr std::uint8_t kFillerByte = 0xFF;
// A replacement loader's image never goes into the interrupt vectors 0xFFE0 to 0xFFFF: they
// stay erased, as the erased-device password expects; its reset vector only names its entry.
constexpr unsigned kLoaderScanLimit = 0xFFE0;
constexpr unsigned kResetVector = 0xFFFE;
constexpr unsigned kLoaderStartWord = 0x0220;

bool cellFilled(unsigned address) { return imageCell(address) != kEmptyCell; }

int blockLimit() { return std::min(loaderFamily().blockLimit(), kBlockBufferBytes) & ~1; }

// Forms the next block at or after `next`: an even start address, an even length of 2 to the
// family's block limit, a filler 0xFF in front of a run that starts at an odd address and behind
// a run of odd length. Fillers always stand for empty cells. Returns false when no filled cell is
// left below the scan limit; otherwise `next` points just past the block.
bool formBlock(unsigned& next, unsigned scanLimit, std::uint8_t* bytes, int& length,
               unsigned& start) {
    const int limit = blockLimit();
    unsigned a = next;
    while (a < scanLimit && !cellFilled(a)) ++a;
    if (a >= scanLimit) {
        next = a;
        return false;
    }
    int n = 0;
    if (a % 2 != 0) bytes[n++] = kFillerByte;
    do {
        bytes[n++] = static_cast<std::uint8_t>(imageCell(a) & 0xFF);
        ++a;
    } while (n < limit && a < scanLimit && cellFilled(a));
    if (n % 2 != 0) {
        bytes[n++] = kFillerByte;
        ++a;
    }
    next = a;
    length = n;
    start = a - n;
    return true;
}

void printProgress(unsigned start) {
    runPrintf(">%04X\r", start);
    runFlush();
}

// The address wraps at the top of the family's address space (a filler byte behind 0xFFFF).
void reportDifference(unsigned address) {
    runPrintf("#Error verifying data @ %04X!\n", address & (loaderFamily().addressSpace - 1));
}

int writePass(unsigned scanLimit) {
    std::uint8_t block[kBlockBufferBytes];
    int n = 0;
    unsigned start = 0;
    unsigned next = 0;
    while (formBlock(next, scanLimit, block, n, start)) {
        printProgress(start);
        int differsAt = 0;
        int result = loaderFamily().writeBlock(start, block, n, differsAt);
        if (result == kBlockDiffers) {
            reportDifference(start + static_cast<unsigned>(differsAt));
            return kDownloadCompareFailed;
        }
        if (result != kBslOk) {
            runPrintf("#Error (%i) sending data @ %04X!\n", result, start);
            return kDownloadSendFailed;
        }
    }
    return kDownloadOk;
}

int verifyPass(unsigned scanLimit) {
    // Cleared once, so stale bytes of an earlier reply (the chip identification, a previous
    // block) never pass for read-back data.
    std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
    std::uint8_t block[kBlockBufferBytes];
    int n = 0;
    unsigned start = 0;
    unsigned next = 0;
    while (formBlock(next, scanLimit, block, n, start)) {
        printProgress(start);
        int differsAt = 0;
        int result = loaderFamily().verifyBlock(start, block, n, differsAt);
        if (result == kBlockDiffers) {
            reportDifference(start + static_cast<unsigned>(differsAt));
            return kDownloadCompareFailed;
        }
        if (result != kBslOk) {
            runPrintf("#Error (%i) retrieving data @ %04X!\n", result, start);
            return kDownloadReadbackFailed;
        }
    }
    return kDownloadOk;
}

// The replacement loader's entry: its reset vector, or the word at 0x0220 when the vector is
// not (completely) in the image.
std::uint16_t loaderStartAddress() {
    unsigned low = MemoryImage[kResetVector];
    unsigned high = MemoryImage[kResetVector + 1];
    if (low == kEmptyCell || high == kEmptyCell) {
        low = MemoryImage[kLoaderStartWord];
        high = MemoryImage[kLoaderStartWord + 1];
    }
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace

void setPreparedFirmware(const std::uint16_t* cells) { preparedFirmware = cells; }

void takePreparedFirmware() {
    if (preparedFirmware == nullptr) return;
    std::copy_n(preparedFirmware, kMemoryImageCells, MemoryImage);
    UpperMemoryImage.clear();
}

int downloadImage(int mode) {
    if (mode == Firmware) takePreparedFirmware();
    unsigned scanLimit = mode == ReplacementLoader ? kLoaderScanLimit : loaderFamily().addressSpace;

    int result = writePass(scanLimit);
    if (result != kDownloadOk) return result;
    if (settings.verifyMode != 0) {
        result = verifyPass(scanLimit);
        if (result != kDownloadOk) return result;
    }
    if (mode != ReplacementLoader) return kDownloadOk;

    int started = loaderFamily().startAt(loaderStartAddress());
    if (started != kBslOk) {
        runPrintf("#Error (%i) executing loaded SW!\n", started);
        return kDownloadStartFailed;
    }
    return kDownloadOk;
}

namespace {
// True when the image holds at least one byte from the file.
bool imageHasData() {
    for (std::uint16_t cell : MemoryImage)
        if (cell != kEmptyCell) return true;
    return firmwareReachesAbove64K();
}
}  // namespace

int loadHexFile(const char* path, int verbosity) {
    if (loadImageFile(path, verbosity) != 0) return kDownloadNotLoaded;
    // A file without a single data record (empty, binary, another format) is the wrong file: the
    // chip would be left erased and the run reported as good.
    if (!imageHasData()) {
        if (verbosity >= 0) runPrintf("#No data in file %s!\n", path);
        runFlush();
        return kDownloadNotLoaded;
    }
    return kDownloadOk;
}

int programHexFile(const char* path, int mode) {
    if (mode == Firmware && preparedFirmware != nullptr) return downloadImage(mode);
    int result = loadHexFile(path, 1);
    if (result != kDownloadOk) return result;
    return downloadImage(mode);
}
