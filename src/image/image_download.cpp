#include "image/image_download.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "bsl/bsl_commands.h"
#include "bsl/frame_exchange.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "options/program_options.h"

namespace {

constexpr int MAX_BLOCK_BYTES = 240;
constexpr std::uint8_t FILLER_BYTE = 0xFF;
// A replacement loader's image never goes into the interrupt vectors 0xFFE0 to 0xFFFF: they
// stay erased, as the erased-device password expects; its reset vector only names its entry.
constexpr unsigned LOADER_SCAN_LIMIT = 0xFFE0;
constexpr unsigned FIRMWARE_SCAN_LIMIT = 0x10000;
constexpr unsigned RESET_VECTOR = 0xFFFE;
constexpr unsigned LOADER_START_WORD = 0x0220;

bool cellFilled(unsigned address) { return MemoryImage[address] != EMPTY_CELL; }

// Forms the next block at or after `next`: an even start address, an even length of 2 to 240
// bytes, a filler 0xFF in front of a run that starts at an odd address and behind a run of odd
// length. Fillers always stand for empty cells. Returns false when no filled cell is left below
// the scan limit; otherwise `next` points just past the block.
bool formBlock(unsigned& next, unsigned scanLimit, std::uint8_t* bytes, int& length,
               std::uint16_t& start) {
    unsigned a = next;
    while (a < scanLimit && !cellFilled(a)) ++a;
    if (a >= scanLimit) {
        next = a;
        return false;
    }
    int n = 0;
    if (a % 2 != 0) bytes[n++] = FILLER_BYTE;
    do {
        bytes[n++] = static_cast<std::uint8_t>(MemoryImage[a] & 0xFF);
        ++a;
    } while (n < MAX_BLOCK_BYTES && a < scanLimit && cellFilled(a));
    if (n % 2 != 0) {
        bytes[n++] = FILLER_BYTE;
        ++a;
    }
    next = a;
    length = n;
    start = static_cast<std::uint16_t>(a - n);
    return true;
}

void printProgress(std::uint16_t start) {
    std::printf(">%04X\r", start);
    std::fflush(stdout);
}

int writePass(unsigned scanLimit) {
    std::uint8_t block[MAX_BLOCK_BYTES];
    int n = 0;
    std::uint16_t start = 0;
    unsigned next = 0;
    while (formBlock(next, scanLimit, block, n, start)) {
        printProgress(start);
        int result = bslExchange(BSL_RX_DATA_BLOCK, static_cast<std::uint8_t>(n + 4), start,
                                 static_cast<std::uint16_t>(n), block);
        if (result != BSL_OK) {
            std::printf("#Error (%i) sending data @ %04X!\n", result, start);
            return DOWNLOAD_SEND_FAILED;
        }
    }
    return DOWNLOAD_OK;
}

int verifyPass(unsigned scanLimit) {
    // Cleared once, and every byte that matched is cleared again, so stale bytes of an earlier
    // reply (the chip identification, a previous block) never pass for read-back data.
    std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
    std::uint8_t block[MAX_BLOCK_BYTES];
    int n = 0;
    std::uint16_t start = 0;
    unsigned next = 0;
    while (formBlock(next, scanLimit, block, n, start)) {
        printProgress(start);
        int result = bslExchange(BSL_TX_DATA_BLOCK, 4, start, static_cast<std::uint16_t>(n),
                                 nullptr);
        if (result != BSL_OK) {
            std::printf("#Error (%i) retrieving data @ %04X!\n", result, start);
            return DOWNLOAD_READBACK_FAILED;
        }
        for (int k = 0; k < n; ++k) {
            if (ReplyBuffer[k] != block[k]) {
                std::printf("#Error verifying data @ %04X!\n", (start + k) & 0xFFFF);
                return DOWNLOAD_COMPARE_FAILED;
            }
            ReplyBuffer[k] = 0;
        }
    }
    return DOWNLOAD_OK;
}

// The replacement loader's entry: its reset vector, or the word at 0x0220 when the vector is
// not (completely) in the image.
std::uint16_t loaderStartAddress() {
    unsigned low = MemoryImage[RESET_VECTOR];
    unsigned high = MemoryImage[RESET_VECTOR + 1];
    if (low == EMPTY_CELL || high == EMPTY_CELL) {
        low = MemoryImage[LOADER_START_WORD];
        high = MemoryImage[LOADER_START_WORD + 1];
    }
    return static_cast<std::uint16_t>(low | (high << 8));
}

}  // namespace

int downloadImage(int mode) {
    unsigned scanLimit = mode == ReplacementLoader ? LOADER_SCAN_LIMIT : FIRMWARE_SCAN_LIMIT;

    int result = writePass(scanLimit);
    if (result != DOWNLOAD_OK) return result;
    if (settings.verifyMode != 0) {
        result = verifyPass(scanLimit);
        if (result != DOWNLOAD_OK) return result;
    }
    if (mode != ReplacementLoader) return DOWNLOAD_OK;

    int started = bslExchange(BSL_LOAD_PC, 4, loaderStartAddress(), 0, nullptr);
    if (started != BSL_OK) {
        std::printf("#Error (%i) executing loaded SW!\n", started);
        return DOWNLOAD_START_FAILED;
    }
    return DOWNLOAD_OK;
}

namespace {
// True when the image holds at least one byte from the file.
bool imageHasData() {
    for (std::uint16_t cell : MemoryImage)
        if (cell != EMPTY_CELL) return true;
    return false;
}
}  // namespace

int programHexFile(const char* path, int mode) {
    if (loadIntelHex(path, 1) != 0) return DOWNLOAD_NOT_LOADED;
    // A file without a single data record (empty, binary, another format) is the wrong file: the
    // chip would be left erased and the run reported as good.
    if (!imageHasData()) {
        std::printf("#No data in file %s!\n", path);
        std::fflush(stdout);
        return DOWNLOAD_NOT_LOADED;
    }
    return downloadImage(mode);
}
