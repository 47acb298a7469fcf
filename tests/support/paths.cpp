#include "support/paths.h"

namespace testpaths {
std::string toolExe() { return BSL430_EXE; }
std::string gangExe() { return BSL430_GANG_EXE; }
std::string simServeExe() { return BSL430_SIM_EXE; }
std::string sourceDir() { return BSL430_SOURCE_DIR; }
std::string binaryDir() { return BSL430_BINARY_DIR; }
}  // namespace testpaths
