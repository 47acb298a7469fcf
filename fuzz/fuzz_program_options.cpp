// The program's own command line: arbitrary words through parseOptions with programOptions, then
// the option listing with whatever values they left.
//
// The input is the argument vector after the program name, its words separated by NUL bytes
// (so words may be empty and may hold any other byte). Properties: the parser answers 0 or 1, a
// second parse of the same words from the defaults gives the same answer and the same settings
// (checked on every sixteenth input), and the listing prints without touching memory it should
// not.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "options/option_help.h"
#include "options/program_options.h"

namespace {

bool sameText(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

bool sameSettings(const Settings& a, const Settings& b) {
    return a.helpRequested == b.helpRequested && a.runTerminal == b.runTerminal &&
           a.portNumber == b.portNumber && sameText(a.bslFileName, b.bslFileName) &&
           a.verifyMode == b.verifyMode && a.verbose == b.verbose && a.fastSpeed == b.fastSpeed &&
           a.testMode == b.testMode && a.terminalBaud == b.terminalBaud &&
           sameText(a.firmwareFileName, b.firmwareFileName) && sameText(a.deviceName, b.deviceName);
}

int parseWords(std::vector<std::string>& words) {
    std::vector<char*> argv;
    static char programName[] = "bsl430";
    argv.push_back(programName);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    resetSettings();
    return parseOptions(static_cast<int>(words.size() + 1), argv.data(), programOptions,
                        programOptionSeparators);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::discardStdout();
    std::vector<std::string> words;
    if (size != 0) words = fuzzsupport::splitAt(data, size, '\0');
    // The words are handed over as writable copies, as a process gets them.
    std::vector<std::string> again = words;

    const int result = parseWords(words);
    FUZZ_CHECK(result == 0 || result == 1, std::to_string(result));
    const Settings first = settings;
    printOptionHelp(programOptions);

    // The library keeps every string it stores for the rest of the process, so each parse adds to
    // the fuzzer's memory; the second parse is made for every sixteenth input only.
    if (size % 16 != 0) return 0;
    const int second = parseWords(again);
    FUZZ_CHECK(second == result, "a second parse answers differently");
    FUZZ_CHECK(sameSettings(first, settings), "a second parse stores different settings");
    return 0;
}
