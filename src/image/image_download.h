// Download of MemoryImage to the target in blocks, read-back verification and start.
#pragma once

enum DownloadMode : int { Firmware = 0, ReplacementLoader = 1 };

enum DownloadResult : int {
    DOWNLOAD_OK = 0,
    DOWNLOAD_NOT_LOADED = 1,
    DOWNLOAD_SEND_FAILED = 2,
    DOWNLOAD_READBACK_FAILED = 3,
    DOWNLOAD_COMPARE_FAILED = 4,
    DOWNLOAD_START_FAILED = 5
};

int programHexFile(const char* path, int mode);
int downloadImage(int mode);
