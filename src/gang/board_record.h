// A board's record in the results file: a CSV row (with the header once per file) or a JSON line.
#pragma once

#include <string>

#include "gang/board.h"

namespace gang {

// True when records go to `path` as CSV (the name ends in .csv, in any case), else JSON Lines.
bool isCsvPath(const std::string& path);

std::string csvHeader();
std::string csvRecord(const BoardStatus& status);
std::string jsonRecord(const BoardStatus& status);

}  // namespace gang
