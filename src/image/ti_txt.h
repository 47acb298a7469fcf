// TI-TXT loader: "@ADDR" lines (a hexadecimal address) followed by lines of hexadecimal byte pairs
// separated by blanks, up to a "q". Either case, any line length, LF, CR LF or CR line ends.
#pragma once

#include <cstdint>
#include <cstdio>

// Loads the rest of the open file into the image's 65,536 cells (emptied by the caller) and
// returns kImageLoaded or kImageRefused after printing why: a character that belongs to neither an
// address nor a byte pair, a byte before the first address, a byte at 0x10000 or above, or a byte
// that contradicts one stored before. Messages name the file's line. Nothing after the "q" is read.
int loadTiTxt(std::FILE* file, std::uint16_t* image);
