// Loading a firmware or replacement-loader file into MemoryImage, whichever format it is written
// in: Intel HEX, TI-TXT, Motorola S-records or an MSP430 ELF program, told apart by the content.
#pragma once

enum ImageFormat : int { kIntelHexFormat = 0, kTiTxtFormat, kSRecordFormat, kElfFormat };

// The format the file's first bytes show: the ELF magic, or the first non-blank character "@"
// for TI-TXT, "S" and a digit for S-records. Everything else, a file that cannot be read
// included, goes to the Intel HEX loader, which gives every such file the answer it always has.
ImageFormat detectImageFormat(const char* path);

// Loads the file as loadIntelHex does, with the same results (0 loaded, 1 cannot be opened,
// 2 refused), the same opening line "#Nahravam soubor IntelHEX: ..." at every format, and the
// same messages for the same faults.
int loadImageFile(const char* path, int verbosity);
