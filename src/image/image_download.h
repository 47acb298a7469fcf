// Download of MemoryImage to the target in blocks, read-back verification and start.
#pragma once

#include <cstdint>

enum DownloadMode : int { Firmware = 0, ReplacementLoader = 1 };

enum DownloadResult : int {
    kDownloadOk = 0,
    kDownloadNotLoaded = 1,
    kDownloadSendFailed = 2,
    kDownloadReadbackFailed = 3,
    kDownloadCompareFailed = 4,
    kDownloadStartFailed = 5
};

// Loads the HEX file into MemoryImage at the loader's verbosity (kHexSilent: not a word); a file
// that cannot be read, is malformed or holds no data at all is kDownloadNotLoaded.
int loadHexFile(const char* path, int verbosity);
// Loads the file, naming it, and downloads it.
int programHexFile(const char* path, int mode);
// Makes this thread's firmware downloads send `cells` (kMemoryImageCells of them, as MemoryImage
// holds them) instead of loading the named file: an image read and checked once before the run,
// perhaps with additions of the caller's own. nullptr: the file again.
void setPreparedFirmware(const std::uint16_t* cells);
int downloadImage(int mode);
// Puts the prepared firmware (if one is set) into this thread's image, as the download will.
void takePreparedFirmware();
