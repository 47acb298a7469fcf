// The firmware file loader on arbitrary file contents, at verbosity 0, 1 and 2: Intel HEX, TI-TXT,
// S-records and ELF, told apart by the first bytes.
//
// Besides never crashing, reading out of bounds or hanging, the loader must: answer 0 (loaded) or
// 2 (bad record) for a file that exists; give the same answer and the same image at every
// verbosity; leave every cell either empty or holding one byte; and, for a file that goes to the
// Intel HEX loader, agree, in its answer and in every cell, with a plain reading of that loader's
// rules done here on the bytes themselves.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "image/image_file.h"
#include "image/memory_image.h"

namespace {

// The image checks run over all 65,536 cells three times per input; kept out of the coverage
// instrumentation, which would otherwise cost more than the loading itself.
__attribute__((no_sanitize("coverage"))) bool cellsValid() {
    for (int a = 0; a < kMemoryImageCells; ++a)
        if (MemoryImage[a] != kEmptyCell && MemoryImage[a] > 0xFF) return false;
    return true;
}

int digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The loader's rules, read plainly: lines end at LF, CR LF or a lone CR (a last line without an
// end counts), and only their first 1024 characters are looked at; a line that does not begin with
// ':' is skipped; length, address and type come first, then for a data record its bytes and the
// checksum, each two hex digits; the end record stops reading; a segment base record (02) sets the
// base to its two-byte value x 16 and a linear base record (04) to the value x 65536, both with
// exactly two data bytes and a checksum that holds; data records land at the base plus their
// address; other types are skipped unchecked. A record whose pairs are not all there or not all hex
// digits, whose data would pass address FFFF, or whose bytes do not sum to 0 ends the load with 2,
// keeping what it stored before. Kept out of the coverage instrumentation, which should steer by
// the loader's own branches.
__attribute__((no_sanitize("coverage"))) int referenceLoad(const std::uint8_t* data,
                                                           std::size_t size,
                                                           std::vector<std::uint16_t>& image) {
    image.assign(kMemoryImageCells, kEmptyCell);
    unsigned long long base = 0;
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = at;
        while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
        const std::uint8_t* line = data + at;
        const std::size_t length = std::min<std::size_t>(end - at, 1024);
        at = end + (end + 1 < size && data[end] == '\r' && data[end + 1] == '\n' ? 2 : 1);
        if (length == 0 || line[0] != ':') continue;
        std::size_t cursor = 1;
        unsigned sum = 0;
        auto pair = [&](int& value) {
            if (cursor + 1 >= length) return false;  // the line ends inside the pair
            const int high = digit(line[cursor]);
            const int low = digit(line[cursor + 1]);
            if (high < 0 || low < 0) return false;
            value = high * 16 + low;
            sum += static_cast<unsigned>(value);
            cursor += 2;
            return true;
        };
        int count = 0, high = 0, low = 0, type = 0;
        if (!pair(count) || !pair(high) || !pair(low) || !pair(type)) return 2;
        if (type == 1) return 0;
        if (type == 2 || type == 4) {
            int valueHigh = 0, valueLow = 0, checksum = 0;
            if (!pair(valueHigh) || !pair(valueLow) || !pair(checksum) || count != 2) return 2;
            if ((sum & 0xFF) != 0) return 2;
            const unsigned long long value =
                static_cast<unsigned long long>(valueHigh * 256 + valueLow);
            base = type == 2 ? value * 16 : value * 65536;
            continue;
        }
        if (type != 0) continue;
        unsigned long long address = base + static_cast<unsigned>(high * 256 + low);
        if (address + static_cast<unsigned>(count) > kMemoryImageCells) return 2;
        for (int k = 0; k < count; ++k) {
            int byte = 0;
            if (!pair(byte)) return 2;
            image[address++] = static_cast<std::uint16_t>(byte);
        }
        int checksum = 0;
        if (!pair(checksum) || (sum & 0xFF) != 0) return 2;
    }
    return 0;
}

// The Intel HEX loader takes every file that does not begin with the ELF magic, or whose first
// character after blanks is neither "@" (TI-TXT) nor "S" and a digit (S-records).
bool goesToHexLoader(const std::uint8_t* data, std::size_t size) {
    if (size >= 4 && std::memcmp(data, "\177ELF", 4) == 0) return false;
    std::size_t at = 0;
    while (at < size && std::strchr(" \t\r\n", data[at]) != nullptr && data[at] != 0) ++at;
    if (at < size && data[at] == '@') return false;
    return !(at + 1 < size && data[at] == 'S' && data[at + 1] >= '0' && data[at + 1] <= '9');
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
    static std::vector<std::uint16_t> firstImage(kMemoryImageCells);
    int firstResult = -1;
    for (int k = 0; k < loads; ++k) {
        const int verbosity = (first + k) % 3;
        fuzzsupport::discardStdout();
        // A stale image must not shine through: the loader empties it before reading.
        std::memset(MemoryImage, 0x5A, sizeof MemoryImage);
        const int result = loadImageFile(path.c_str(), verbosity);
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

    if (!goesToHexLoader(data, size)) return 0;
    static std::vector<std::uint16_t> expected;
    const int expectedResult = referenceLoad(data, size, expected);
    FUZZ_CHECK(firstResult == expectedResult, "result " + std::to_string(firstResult) +
                                                  ", the rules give " +
                                                  std::to_string(expectedResult));
    FUZZ_CHECK(std::memcmp(expected.data(), MemoryImage, sizeof MemoryImage) == 0,
               "the image differs from the rules' reading");
    return 0;
}
