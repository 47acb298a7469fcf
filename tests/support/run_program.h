// Runs a built program as a separate process and collects what it writes to standard output.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ProgramRun {
    std::string output;  // standard output; on Windows its line ends ("\r\n") read as "\n"
    int exitCode = -1;   // -1 when the program could not be started or did not exit normally
};

struct RunSettings {
    // Start the program without a console or controlling terminal (a new session on Linux/macOS,
    // a detached process on Windows), so that it cannot open one.
    bool withoutConsole = false;
};

// Runs the program with the arguments (each passed as one word, unchanged) and an empty standard
// input; its standard error stays the caller's.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const RunSettings& settings = {});

}  // namespace testsupport
