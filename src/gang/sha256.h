// SHA-256 of a byte string, as lowercase hexadecimal: the fingerprint of a board's image in its
// record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace gang {
std::string sha256Hex(const std::uint8_t* data, std::size_t length);
}  // namespace gang
