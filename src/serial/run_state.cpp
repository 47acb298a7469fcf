#include "serial/run_state.h"

#include <algorithm>

using namespace k32;

constinit thread_local HANDLE portHandle = nullptr;
thread_local DCB deviceControl{};
thread_local DWORD rememberedDtrCode = 0;
thread_local int modemCaptureLength = 0;
thread_local std::uint8_t ReplyBuffer[kReplyBufferSize + 1];
thread_local std::uint8_t frameHeader[8];
thread_local int lastFrameAnswer = -1;
thread_local int lastReplyLength = 0;
thread_local std::uint16_t MemoryImage[kMemoryImageCells];
thread_local std::vector<std::uint16_t> UpperMemoryImage;
constinit thread_local std::uint32_t imageAddressLimit_ = 0x10000;
constinit thread_local const std::uint16_t* preparedFirmware = nullptr;
constinit thread_local const LoaderFamily* runLoaderFamily = nullptr;
thread_local std::uint8_t packetReply[kPacketCoreLimit];
thread_local int packetReplyLength = 0;
thread_local std::uint8_t packetLoaderVersion[4];
thread_local int packetLoaderBuffer = 0;

namespace {
// The program's own thread starts with the invalid handle, as before any run.
const bool programThreadHasNoPort = (portHandle = INVALID_HANDLE_VALUE, true);

// Before the first file is loaded the image describes no file at all: every cell is empty. (The
// program's own thread; a thread that starts a run of its own fills its image before it downloads.)
const bool imageStartsEmpty = (std::fill_n(MemoryImage, kMemoryImageCells, kEmptyCell), true);
}  // namespace
