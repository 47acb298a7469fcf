// Where the built tools and the source tree are, for tests that run them or read test files.
#pragma once

#include <string>

namespace testpaths {
std::string toolExe();      // the built bsl430
std::string gangExe();      // the built bsl430-gang
std::string simServeExe();  // the built bsl430-sim ("" where it is not built)
std::string sourceDir();
std::string binaryDir();
}  // namespace testpaths
