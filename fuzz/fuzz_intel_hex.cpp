// The Intel HEX loader on arbitrary file contents, at verbosity 0, 1 and 2.
//
// Besides never crashing, reading out of bounds or hanging, the loader must: answer 0 (loaded) or
// 2 (bad record) for a file that exists; give the same answer and the same image at every
// verbosity; and leave every cell either empty or holding one byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"

namespace {

// The image checks run over all 65,536 cells three times per input; kept out of the coverage
// instrumentation, which would otherwise cost more than the loading itself.
__attribute__((no_sanitize("coverage"))) bool cellsValid() {
    for (int a = 0; a < MEMORY_IMAGE_CELLS; ++a)
        if (MemoryImage[a] != EMPTY_CELL && MemoryImage[a] > 0xFF) return false;
    return true;
}

int inputFile() {
    static int fd = memfd_create("hex", 0);
    if (fd < 0) fuzzsupport::fail("memfd", "");
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = inputFile();
    if (ftruncate(fd, 0) != 0) fuzzsupport::fail("ftruncate", "");
    if (size != 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        fuzzsupport::fail("pwrite", "");
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    // One load per input at a verbosity the input picks; every eighth input is loaded at all three
    // and the results compared (each load empties and refills the whole image, which is what
    // costs, so loading three times throughout would cut the fuzzer's pace to a third).
    const int first = static_cast<int>(size % 3);
    const int loads = size % 8 == 0 ? 3 : 1;
    static std::vector<std::uint16_t> firstImage(MEMORY_IMAGE_CELLS);
    int firstResult = -1;
    for (int k = 0; k < loads; ++k) {
        const int verbosity = (first + k) % 3;
        fuzzsupport::discardStdout();
        // A stale image must not shine through: the loader empties it before reading.
        std::memset(MemoryImage, 0x5A, sizeof MemoryImage);
        const int result = loadIntelHex(path.c_str(), verbosity);
        FUZZ_CHECK(result == 0 || result == 2, "result " + std::to_string(result));
        FUZZ_CHECK(cellsValid(), "a cell holds neither a byte nor the empty mark");
        if (k == 0) {
            firstResult = result;
            if (loads > 1) std::memcpy(firstImage.data(), MemoryImage, sizeof MemoryImage);
        } else {
            FUZZ_CHECK(result == firstResult, "verbosity changes the result");
            FUZZ_CHECK(std::memcmp(firstImage.data(), MemoryImage, sizeof MemoryImage) == 0,
                       "verbosity changes the image");
        }
    }
    return 0;
}
