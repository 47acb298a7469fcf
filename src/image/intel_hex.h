// Intel HEX loader into MemoryImage.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// 0 loaded, 1 file cannot be opened (or no path, or a directory), 2 bad record (checksum error,
// malformed record, or data running past address 0xFFFF). Segment (02) and linear (04) base
// records move the data records after them; data that then lies at 0x10000 or above is refused.
// Verbosity 0 reports only failures, 1 also names the file, 2 also the unsupported records and the
// totals; kHexSilent reports nothing at all (a check whose failure is reported later).
constexpr int kHexSilent = -1;
int loadIntelHex(const char* path, int verbosity);

// Reads the next line of a text image without its line end: LF, CR LF and a lone CR all end a
// line, so files from every system keep their records apart and their line numbers. Only the first
// 1024 characters are kept (`cut` tells that there were more), so that a file of one endless line
// cannot fill memory. False when the file has nothing more to give.
bool readImageLine(std::FILE* file, std::string& line, bool& cut);

// The value of one hex digit of either case, -1 for any other character (EOF included).
int hexDigitValue(int c);

// What parseHexPair returns when the two characters at the cursor are not two hex digits.
constexpr unsigned kHexPairMalformed = 0x100;

// The byte at *cursor as two hex digits (either case), added into the record's running sum; moves
// the cursor two characters on. When the characters are not two hex digits (the line's end
// included) it returns kHexPairMalformed and leaves cursor and sum alone, never looking past the
// string's terminating NUL.
unsigned parseHexPair(const char** cursor, std::uint8_t* runningSum);
