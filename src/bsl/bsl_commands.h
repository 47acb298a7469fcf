// The loader commands this program speaks and the constant values it passes with them.
#pragma once

#include <cstdint>

constexpr std::uint8_t kBslRxPassword = 0x10;
constexpr std::uint8_t kBslRxDataBlock = 0x12;
constexpr std::uint8_t kBslTxDataBlock = 0x14;
constexpr std::uint8_t kBslMassErase = 0x18;
constexpr std::uint8_t kBslLoadPc = 0x1A;
constexpr std::uint8_t kBslTxBslVersion = 0x1E;
constexpr std::uint8_t kBslChangeBaudRate = 0x20;

constexpr std::uint16_t kMassEraseAddress = 0xFF00;
constexpr std::uint16_t kMassEraseKey = 0xA506;
constexpr std::uint16_t kPasswordAddress = 0xFFE0;
constexpr std::uint16_t kPasswordLength = 0x20;
constexpr std::uint16_t kIdentificationAddress = 0x0FF0;
constexpr std::uint16_t kIdentificationLength = 12;
constexpr std::uint16_t kRomLoaderRestart = 0x0C22;
constexpr std::uint16_t kBaud38400Clock = 0x87E0;
constexpr std::uint16_t kBaud38400ClockTest = 0x8C80;
constexpr std::uint16_t kBaud38400Code = 2;

// The erased-device password: 32 bytes of 0xFF, the vector area of a mass-erased chip.
extern const std::uint8_t erasedDevicePassword[kPasswordLength];
