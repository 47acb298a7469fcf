// Download of MemoryImage to the target in blocks, read-back verification and start.
#pragma once

enum DownloadMode : int { Firmware = 0, ReplacementLoader = 1 };

enum DownloadResult : int {
    kDownloadOk = 0,
    kDownloadNotLoaded = 1,
    kDownloadSendFailed = 2,
    kDownloadReadbackFailed = 3,
    kDownloadCompareFailed = 4,
    kDownloadStartFailed = 5
};

int programHexFile(const char* path, int mode);
int downloadImage(int mode);
