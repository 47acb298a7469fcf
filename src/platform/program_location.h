// Where the running program lies, and where an installation keeps the files that go with it:
// the places, after the working directory, where the program looks for a file it was given by
// name alone (the replacement loader).
#pragma once

#include <string>

namespace platform {

// The program's own directory, ending in its separator; "" when it is not known. Argument zero
// names it when it holds a directory separator (the backslash on Windows, the slash elsewhere);
// on Linux and macOS a program started by its bare name from PATH is found through the system's
// record of the running executable, or else by looking the name up in PATH.
std::string programDirectory(const char* argument0);

// The installation's data directory for this program (<prefix>/share/bsl430/, the prefix it was
// built for), ending in a separator; "" on Windows, where everything lies beside the program.
std::string installedDataDirectory();

// The data directory of the installation the program itself lies in, found from the program's
// directory (`programDirectory`'s answer): <program's directory>/../share/bsl430/, so that an
// installation under any prefix, or one moved elsewhere, finds its own files. "" when there is no
// such directory, when it is installedDataDirectory() itself, and on Windows.
std::string relocatedDataDirectory(const std::string& programDirectory);

}  // namespace platform
