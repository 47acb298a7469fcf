// ELF loader for linked MSP430 programs (32-bit, little-endian, machine 105): the bytes a HEX file
// made from the program by objcopy would hold.
#pragma once

#include <cstdint>
#include <cstdio>

// Loads the open file into the image's 65,536 cells (emptied by the caller) and returns
// kImageLoaded or kImageRefused after printing why.
//
// Every allocated section with contents goes to its load address: the address of the loadable
// segment that holds it, moved by the section's offset in that segment, so that initial values of
// RAM variables land where the program copies them from. Sections without contents (.bss) and
// the unused room between sections are not written. A file without section headers gives the
// file bytes of its loadable segments instead, never the ELF and program headers that a linker may
// put into a segment of their own.
//
// Messages carry a number where the HEX loader names a line: the section's index (as
// `readelf -S` numbers them), or the program header's index (from 0) for a file without sections,
// or 0 for a fault of the file header; the reason goes to standard error.
int loadElfImage(std::FILE* file, std::uint16_t* image);
