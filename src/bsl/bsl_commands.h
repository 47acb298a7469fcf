// The loader commands this program speaks and the constant values it passes with them.
#pragma once

#include <cstdint>

constexpr std::uint8_t BSL_RX_PASSWORD = 0x10;
constexpr std::uint8_t BSL_RX_DATA_BLOCK = 0x12;
constexpr std::uint8_t BSL_TX_DATA_BLOCK = 0x14;
constexpr std::uint8_t BSL_MASS_ERASE = 0x18;
constexpr std::uint8_t BSL_LOAD_PC = 0x1A;
constexpr std::uint8_t BSL_CHANGE_BAUD_RATE = 0x20;

constexpr std::uint16_t MASS_ERASE_ADDRESS = 0xFF00;
constexpr std::uint16_t MASS_ERASE_KEY = 0xA506;
constexpr std::uint16_t PASSWORD_ADDRESS = 0xFFE0;
constexpr std::uint16_t PASSWORD_LENGTH = 0x20;
constexpr std::uint16_t IDENTIFICATION_ADDRESS = 0x0FF0;
constexpr std::uint16_t IDENTIFICATION_LENGTH = 12;
constexpr std::uint16_t ROM_LOADER_RESTART = 0x0C22;
constexpr std::uint16_t BAUD_38400_CLOCK = 0x87E0;
constexpr std::uint16_t BAUD_38400_CLOCK_TEST = 0x8C80;
constexpr std::uint16_t BAUD_38400_CODE = 2;

// The erased-device password: 32 bytes of 0xFF, the vector area of a mass-erased chip.
extern const std::uint8_t erasedDevicePassword[PASSWORD_LENGTH];
