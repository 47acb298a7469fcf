#include "image/srecord.h"

#include <string>

#include "image/image_store.h"
#include "image/intel_hex.h"

namespace {

// Address bytes of each record type, -1 for a type that does not exist (S4 among them).
int addressBytes(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9': return 2;
        case '2':
        case '6':
        case '8': return 3;
        case '3':
        case '7': return 4;
        default: return -1;
    }
}

}  // namespace

int loadSRecords(std::FILE* file, std::uint16_t* image) {
    std::string line;
    bool cut = false;
    long lineCount = 0;
    while (readImageLine(file, line, cut)) {
        ++lineCount;
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos && !cut) continue;  // blank lines
        const std::size_t end = line.find_last_not_of(" \t") + 1;
        // The longest record is "S", its type and 256 pairs: a line longer than the part kept is
        // none.
        if (cut || line[first] != 'S' || end - first < 2) return refuseMalformed(lineCount);
        const int addressLength = addressBytes(line[first + 1]);
        if (addressLength < 0) return refuseMalformed(lineCount);

        // Count, address, data and checksum: as many pairs as the count says, plus the count.
        std::uint8_t bytes[256];
        std::size_t n = 0;
        unsigned sum = 0;
        for (std::size_t at = first + 2; at < end; at += 2) {
            const int high = hexDigitValue(line[at]);
            const int low = at + 1 < end ? hexDigitValue(line[at + 1]) : -1;
            if (high < 0 || low < 0 || n == sizeof bytes) return refuseMalformed(lineCount);
            bytes[n++] = static_cast<std::uint8_t>(high * 16 + low);
            sum += bytes[n - 1];
        }
        if (n == 0 || n != bytes[0] + 1u || bytes[0] < addressLength + 1)
            return refuseMalformed(lineCount);
        if ((sum & 0xFF) != 0xFF) return refuseChecksum(lineCount);

        const char type = line[first + 1];
        if (type != '1' && type != '2' && type != '3') continue;
        std::uint64_t address = 0;
        for (int k = 1; k <= addressLength; ++k) address = address * 256 + bytes[k];
        const std::size_t dataLength = bytes[0] - addressLength - 1u;
        if (storeImageBytes(image, address, bytes + 1 + addressLength, dataLength, lineCount) !=
            kImageLoaded)
            return kImageRefused;
    }
    return kImageLoaded;
}
