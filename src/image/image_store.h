// What the TI-TXT, S-record and ELF loaders share: storing a file's bytes into the image cells,
// and the failure messages, the same as the Intel HEX loader prints for the same fault.
#pragma once

#include <cstddef>
#include <cstdint>

// The result of loading a file: 0 loaded, 2 refused (the message has been printed).
constexpr int kImageLoaded = 0;
constexpr int kImageRefused = 2;

// Stores `count` bytes from `address` on into the image's 65,536 cells. Bytes that would lie at
// 0x10000 or above refuse the whole run before anything is stored ("record runs past address
// FFFF"); a byte for a cell that this file already filled with another value refuses the load
// there ("record contradicts earlier data"). `where` is the line (or, for ELF, the section or
// program header) that the message names.
int storeImageBytes(std::uint16_t* image, std::uint64_t address, const std::uint8_t* bytes,
                    std::size_t count, long where);

// Print "#[where] malformed record!", "#[where] checksum error!" or "#[where] record runs past
// address FFFF!" and return kImageRefused.
int refuseMalformed(long where);
int refuseChecksum(long where);
int refusePastTop(long where);

// While one lives, the loaders print nothing (a load whose failure is reported by loading again).
class QuietImageLoad {
public:
    explicit QuietImageLoad(bool quiet);
    ~QuietImageLoad();
    QuietImageLoad(const QuietImageLoad&) = delete;
    QuietImageLoad& operator=(const QuietImageLoad&) = delete;

private:
    bool previous_;
};
bool imageLoadIsQuiet();
