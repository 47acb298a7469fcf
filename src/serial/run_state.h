// Everything a programming run owns, in one place. A run (one board: entry, sequence, download,
// release) keeps its state in the thread that makes it, so that several runs can live in one
// process, one thread each: every variable here is thread-local and defined in run_state.cpp.
// The layers above reach them through their own headers (serial_port.h, control_lines.h,
// frame_exchange.h, memory_image.h, image_download.h), which include this one.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/kernel32.h"

struct LoaderFamily;

// The open port of the run this thread makes; set by whoever starts the run, used by every serial,
// loader and terminal operation. No port: INVALID_HANDLE_VALUE (on a thread that has not yet
// started a run, a null handle, which every call refuses the same way).
extern constinit thread_local k32::HANDLE portHandle;
// The port's device-control record, shared by configurePort and the fast-speed step.
extern thread_local k32::DCB deviceControl;

// The DTR code setResetLine sent last; setTestLine sends it again after every RTS change.
extern thread_local k32::DWORD rememberedDtrCode;

// How many bytes the last modem reply (awaitReply) stored in ReplyBuffer, so that a 0x00 among
// them does not hide the rest from the hexadecimal dump.
extern thread_local int modemCaptureLength;

// How many data bytes the last data reply announced (its first length byte).
extern thread_local int lastReplyLength;
// Data bytes of the last data reply, then its two checksum bytes. 256 bytes as the program uses
// it, plus room for the checksum of a reply that announces 255 data bytes. The modem exchange
// captures its replies here too.
constexpr int kReplyBufferSize = 256;
extern thread_local std::uint8_t ReplyBuffer[kReplyBufferSize + 1];

// The 8-byte header of the frame sent last.
extern thread_local std::uint8_t frameHeader[8];
// The first byte the loader answered the last frame with: 0x90, 0x80 for a data reply, 0xA0 for
// a refusal, 0xFF when none came in time (as readByte has it), -1 before the frame was sent.
extern thread_local int lastFrameAnswer;

// The target's 64 KiB byte address space as loaded from a firmware file: one cell per byte
// address, kEmptyCell or the byte in the low half and 0 in the high half.
constexpr std::uint16_t kEmptyCell = 0xFFFF;
constexpr int kMemoryImageCells = 65536;
extern thread_local std::uint16_t MemoryImage[kMemoryImageCells];

// The image above 0xFFFF, for the newer loaders' chips: the cells of 0x10000 to 0xFFFFF, or none
// at all while no data lies there (image/image_cells.h).
extern thread_local std::vector<std::uint16_t> UpperMemoryImage;
// The first address a firmware load refuses: 0x10000, or 0x100000 for a run that may meet a
// newer loader.
extern constinit thread_local std::uint32_t imageAddressLimit_;

// An image read and checked once before the run (kMemoryImageCells cells), which the firmware
// download sends instead of loading the named file; nullptr: the file (setPreparedFirmware).
extern constinit thread_local const std::uint16_t* preparedFirmware;

// The loader family the run speaks to (loader_family.h); nullptr: the classic one.
extern constinit thread_local const LoaderFamily* runLoaderFamily;

// The newer loaders' last reply packet: its core (the kind of reply first), and its length (0:
// none). The largest core either side sends: a block of 1024 data bytes and its command.
constexpr int kPacketCoreLimit = 1040;
extern thread_local std::uint8_t packetReply[kPacketCoreLimit];
extern thread_local int packetReplyLength;
// What a newer loader told the run about itself: its version reply (vendor, command interpreter,
// API, interface) and its buffer size (0 until it has said).
extern thread_local std::uint8_t packetLoaderVersion[4];
extern thread_local int packetLoaderBuffer;
