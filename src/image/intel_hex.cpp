#include "image/intel_hex.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "image/image_cells.h"
#include "image/memory_image.h"
#include "platform/run_output.h"

int hexDigitValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

namespace {

// Reads the next line whole, whatever its length, without its line end. False when the file has
// nothing more to give (its end, or a read error, which ends reading the same way).
// Characters of a line that are kept: a record takes at most 521 (255 data bytes), and whatever a
// longer line holds after its record's checksum is never looked at. Capping it keeps a file of one
// endless line from filling memory.
constexpr std::size_t kLongestKeptLine = 1024;

// A directory is no HEX file. Some systems open one for reading and only fail the reads, which
// would pass for an empty file; refuse it as a file that cannot be opened instead.
bool isDirectory(const char* path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

// Record types that set the base address of the data records after them: a segment base
// (value x 16) and a linear base (value x 65536). Start address records (03, 05) mean nothing here.
constexpr unsigned kSegmentBase = 0x02;
constexpr unsigned kLinearBase = 0x04;

int failRecord(std::FILE* file, const char* format, long lineCount, int verbosity) {
    std::fclose(file);
    if (verbosity >= 0) runPrintf(format, lineCount);
    return 2;
}

}  // namespace

bool readImageLine(std::FILE* file, std::string& line, bool& cut) {
    line.clear();
    cut = false;
    bool readAnything = false;
    int c;
    while ((c = std::getc(file)) != EOF) {
        readAnything = true;
        if (c == '\n') return true;
        if (c == '\r') {
            const int next = std::getc(file);
            if (next != '\n' && next != EOF) std::ungetc(next, file);
            return true;
        }
        if (line.size() < kLongestKeptLine)
            line.push_back(static_cast<char>(c));
        else
            cut = true;
    }
    return readAnything;
}

unsigned parseHexPair(const char** cursor, std::uint8_t* runningSum) {
    const char* at = *cursor;
    int high = hexDigitValue(at[0]);
    if (high < 0) return kHexPairMalformed;  // the second character is not looked at
    int low = hexDigitValue(at[1]);
    if (low < 0) return kHexPairMalformed;
    unsigned byte = static_cast<unsigned>(high * 16 + low);
    *runningSum = static_cast<std::uint8_t>(*runningSum + byte);
    *cursor = at + 2;
    return byte;
}

int loadIntelHex(const char* path, int verbosity) {
    std::FILE* file = nullptr;
    if (path != nullptr && !isDirectory(path)) file = std::fopen(path, "r");
    if (file == nullptr) {
        if (verbosity >= 0) runPrintf("#Can't open file %s!\n", path != nullptr ? path : "(none)");
        return 1;
    }
    if (verbosity > 0) runPrintf("#Nahravam soubor IntelHEX: %s\n", path);

    clearImage();
    long lineCount = 0;
    long byteCount = 0;
    std::uint64_t base = 0;  // from the last segment or linear base record; 0 until one comes

    std::string line;
    bool cut = false;  // what a long line holds past its record is never looked at
    while (readImageLine(file, line, cut)) {
        ++lineCount;
        if (line.empty() || line[0] != ':') continue;

        std::uint8_t sum = 0;
        const char* cursor = line.c_str() + 1;
        unsigned length = parseHexPair(&cursor, &sum);
        unsigned addressHigh = parseHexPair(&cursor, &sum);
        unsigned addressLow = parseHexPair(&cursor, &sum);
        unsigned type = parseHexPair(&cursor, &sum);
        if (length > 0xFF || addressHigh > 0xFF || addressLow > 0xFF || type > 0xFF)
            return failRecord(file, "#[%li] malformed record!\n", lineCount, verbosity);
        // Data records land at the base plus their own 16-bit address. 64-bit, so that no base
        // wraps round into the image.
        std::uint64_t address = base + (addressHigh * 256 + addressLow);

        if (type == 0x01) break;
        if (type == kSegmentBase || type == kLinearBase) {
            // Two data bytes, the base's value high byte first; it holds until the next base
            // record.
            unsigned high = parseHexPair(&cursor, &sum);
            unsigned low = parseHexPair(&cursor, &sum);
            unsigned checksum = parseHexPair(&cursor, &sum);
            if (length != 2 || high > 0xFF || low > 0xFF || checksum > 0xFF)
                return failRecord(file, "#[%li] malformed record!\n", lineCount, verbosity);
            if (sum != 0) return failRecord(file, "#[%li] checksum error!\n", lineCount, verbosity);
            const std::uint64_t value = high * 256 + low;
            base = type == kSegmentBase ? value * 16 : value << 16;
            continue;
        }
        if (type != 0x00) {
            if (verbosity >= 2)
                runPrintf("#[%li] unsupported IntelHEX record type: %02X\n", lineCount, type);
            continue;
        }

        // The image ends at 0xFFFF (0xFFFFF for a newer loader's chip); data beyond it has
        // nowhere to go. Refused before anything of the record is stored.
        if (address + length > std::uint64_t{imageAddressLimit()})
            return failRecord(file,
                              imageAddressLimit() > kClassicAddressLimit
                                  ? "#[%li] record runs past address FFFFF!\n"
                                  : "#[%li] record runs past address FFFF!\n",
                              lineCount, verbosity);
        for (unsigned i = 0; i < length; ++i) {
            unsigned byte = parseHexPair(&cursor, &sum);
            if (byte > 0xFF)
                return failRecord(file, "#[%li] malformed record!\n", lineCount, verbosity);
            setImageCell(static_cast<std::uint32_t>(address++), static_cast<std::uint16_t>(byte));
            ++byteCount;
        }
        if (parseHexPair(&cursor, &sum) > 0xFF)
            return failRecord(file, "#[%li] malformed record!\n", lineCount, verbosity);
        if (sum != 0) return failRecord(file, "#[%li] checksum error!\n", lineCount, verbosity);
    }

    std::fclose(file);
    if (verbosity >= 2) runPrintf("#%li lines parsed, %li bytes loaded.\n", lineCount, byteCount);
    return 0;
}
