#include "image/image_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "image/elf_image.h"
#include "image/image_store.h"
#include "image/intel_hex.h"
#include "image/image_cells.h"
#include "image/memory_image.h"
#include "image/srecord.h"
#include "image/ti_txt.h"
#include "platform/run_output.h"

namespace {

// Blanks as the TI-TXT and S-record loaders skip them.
bool isBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

ImageFormat detectImageFormat(const char* path) {
    std::error_code error;
    if (path == nullptr || std::filesystem::is_directory(path, error)) return kIntelHexFormat;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return kIntelHexFormat;
    unsigned char magic[4] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, file);
    ImageFormat format = kIntelHexFormat;
    if (got == sizeof magic && magic[0] == 0x7F && magic[1] == 'E' && magic[2] == 'L' &&
        magic[3] == 'F') {
        format = kElfFormat;
    } else {
        std::rewind(file);
        int c;
        while ((c = std::getc(file)) != EOF && isBlank(c)) {}
        const int next = c == EOF ? EOF : std::getc(file);
        if (c == '@') format = kTiTxtFormat;
        if (c == 'S' && next >= '0' && next <= '9') format = kSRecordFormat;
    }
    std::fclose(file);
    return format;
}

int loadImageFile(const char* path, int verbosity) {
    const ImageFormat format = detectImageFormat(path);
    if (format == kIntelHexFormat) return loadIntelHex(path, verbosity);

    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        if (verbosity >= 0) runPrintf("#Can't open file %s!\n", path);
        return 1;
    }
    if (verbosity > 0) runPrintf("#Nahravam soubor IntelHEX: %s\n", path);
    clearImage();
    std::uint16_t* image = MemoryImage;
    int result = 0;
    const QuietImageLoad quiet(verbosity < 0);
    switch (format) {
        case kTiTxtFormat: result = loadTiTxt(file, image); break;
        case kSRecordFormat: result = loadSRecords(file, image); break;
        default: result = loadElfImage(file, image); break;
    }
    std::fclose(file);
    return result;
}
