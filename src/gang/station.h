// The station a record comes from: the computer's name unless the line names it (--station).
#pragma once

#include <string>

namespace gang {

// This computer's name, "" when the system does not say.
std::string hostName();

}  // namespace gang
