// The boards' serial numbers: FIRST, FIRST+1, ... from the command line, or the next ones kept in
// a serial file that several gangs share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gang/gang_options.h"

namespace gang {

// Takes `count` numbers for the boards. With a serial file, they are taken under the file's lock
// (PATH.lock) from the number the file holds (FIRST when the file is missing), and the file is
// moved past them before the lock is let go: no number is ever given twice. False, with the reason,
// when the numbers cannot be had. The file wins over --serial: when both are given and the file
// holds another number, `note` says so (empty otherwise).
bool takeSerialNumbers(const GangOptions& options, std::size_t count,
                       std::vector<std::uint32_t>& numbers, std::string& error, std::string& note);

}  // namespace gang
