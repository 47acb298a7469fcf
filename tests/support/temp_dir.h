// Fresh folders for test files, on every system the tests run on.
#pragma once

#include <string>

namespace testsupport {

// Creates a new, empty folder from a pattern whose last six characters are "XXXXXX", which are
// replaced in place by characters that make the name unused. Returns the pattern, or nullptr when
// the pattern does not end in "XXXXXX" or no folder could be created (mkdtemp's contract, which
// Windows lacks).
char* makeUniqueDir(char* pattern);

// A new, empty folder in the system's temporary folder whose name starts with the prefix; its path,
// or "" when none could be created.
std::string makeTempDir(const std::string& prefix);

}  // namespace testsupport
