// Motorola S-record loader: S1, S2 and S3 data records (16-, 24- and 32-bit addresses) with their
// checksums; header (S0), count (S5, S6) and start address (S7, S8, S9) records are checked and
// otherwise ignored.
#pragma once

#include <cstdint>
#include <cstdio>

// Loads the rest of the open file into the image's 65,536 cells (emptied by the caller) and
// returns kImageLoaded or kImageRefused after printing why: a line that is neither blank nor a
// whole record of a known type, a checksum that does not hold, data at 0x10000 or above, or a byte
// that contradicts one stored before. Messages name the file's line.
int loadSRecords(std::FILE* file, std::uint16_t* image);
