#include "image/ti_txt.h"

#include "image/image_store.h"
#include "image/intel_hex.h"

namespace {

bool endsToken(int c) { return c == EOF || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Addresses are read to any length; past this they only need to stay too high for the image.
constexpr std::uint64_t kAddressCeiling = 0xFFFFFFFFu;

}  // namespace

int loadTiTxt(std::FILE* file, std::uint16_t* image) {
    long line = 1;
    bool addressSet = false;
    std::uint64_t address = 0;
    int c = std::getc(file);
    while (c != EOF) {
        if (c == ' ' || c == '\t') {
            c = std::getc(file);
            continue;
        }
        if (c == '\n' || c == '\r') {  // LF, CR LF and a lone CR each end one line
            const int next = std::getc(file);
            c = c == '\r' && next == '\n' ? std::getc(file) : next;
            ++line;
            continue;
        }
        if (c == 'q' || c == 'Q') return kImageLoaded;

        const bool isAddress = c == '@';
        if (isAddress) c = std::getc(file);
        std::uint64_t value = 0;
        int digits = 0;
        for (int d; (d = hexDigitValue(c)) >= 0; c = std::getc(file), ++digits)
            if (value <= kAddressCeiling) value = value * 16 + static_cast<unsigned>(d);
        if (digits == 0 || !endsToken(c)) return refuseMalformed(line);
        if (isAddress) {
            address = value;
            addressSet = true;
            continue;
        }
        if (digits != 2 || !addressSet) return refuseMalformed(line);
        const std::uint8_t byte = static_cast<std::uint8_t>(value);
        if (storeImageBytes(image, address, &byte, 1, line) != kImageLoaded) return kImageRefused;
        ++address;
    }
    return kImageLoaded;
}
