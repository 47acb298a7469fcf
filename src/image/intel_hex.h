// Intel HEX loader into MemoryImage.
#pragma once

#include <cstdint>

// 0 loaded, 1 file cannot be opened, 2 bad record (checksum error or malformed record).
int loadIntelHex(const char* path, int verbosity);
// The byte at *cursor as two hex digits, added into the record's running sum; moves the cursor on.
unsigned parseHexPair(const char** cursor, std::uint8_t* runningSum);
