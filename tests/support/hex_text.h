// Intel HEX text for test files: data records of at most 16 bytes, LF line ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testhex {
// Data records for `bytes` loaded from `address` on.
std::string hexRecords(unsigned address, const std::vector<std::uint8_t>& bytes);
// The end-of-file record.
std::string hexEnd();
}  // namespace testhex
