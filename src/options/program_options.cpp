// This program's command line: the settings with their defaults and the option table that fills
// them. Rows are tried in order; the catch-all rows at the end take unknown options and the
// firmware file name.

#include "options/program_options.h"

#include <string>

Settings settings;

void resetSettings() { settings = Settings{}; }

const char* const programOptionSeparators = ":=#";

// Rows with an empty help text share the help line of the row after them; rows with a null help
// text are not listed.
OptionSpec programOptions[] = {
    {OPT_INT_OPTARG, "-?", nullptr, &settings.helpRequested, 1.0f, ""},
    {OPT_INT_OPTARG, "--help", nullptr, &settings.helpRequested, 1.0f, "print this help"},
    {OPT_INT_OPTARG, "-t", nullptr, &settings.runTerminal, 1.0f, ""},
    {OPT_INT_OPTARG, "--terminal", nullptr, &settings.runTerminal, 1.0f,
     "run terminal after programming"},
    {OPT_INT, "-p", nullptr, &settings.portNumber, 1.0f, ""},
    {OPT_INT, "--port", "<port number>", &settings.portNumber, 1.0f,
     "set COM port number; default COM%d"},
    {OPT_STRING, "-b", nullptr, &settings.bslFileName, 0.0f, ""},
    {OPT_STRING, "--bsl", "<BSL filename>", &settings.bslFileName, 0.0f,
     "set BSL upgrade filename; default %s"},
    {OPT_CHOICE, "-v", "off/on", &settings.verifyMode, 2.0f, ""},
    {OPT_CHOICE, "--verify", "off/on", &settings.verifyMode, 2.0f,
     "enable/disable verify; default %s"},
    {OPT_INT_OPTARG, "--verbose", nullptr, &settings.verbose, 1.0f, "show more detailed log"},
    {OPT_INT_OPTARG, "--slow", nullptr, &settings.fastSpeed, 0.0f, nullptr},
    {OPT_INT_OPTARG, "--TEST", nullptr, &settings.testMode, 1.0f, nullptr},
    {OPT_INT, "-tb", nullptr, &settings.terminalBaud, 1.0f, ""},
    {OPT_INT, "--term-baud", "<baudrate>", &settings.terminalBaud, 1.0f,
     "set terminal baudrate; default %dBd"},
    // Hidden: a device to open instead of the numbered COM port, and the program's version.
    // Before the catch-all "-" row.
    {OPT_STRING, "--device", nullptr, &settings.deviceName, 0.0f, nullptr},
    {OPT_SET, "--version", nullptr, &settings.versionRequested, 1.0f, nullptr},
    {OPT_CHOICE, "--family", "auto/classic/5xx", &settings.loaderFamily, 3.0f, nullptr},
    {OPT_SET, "-", nullptr, &settings.helpRequested, 1.0f, nullptr},
    {OPT_STRING, "", "", &settings.firmwareFileName, 0.0f, nullptr},
    {OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr},
};

namespace {

// The row that takes every word starting with '-' that no option row took.
const OptionSpec* unknownOptionRow() {
    for (const OptionSpec* row = programOptions; row->type != OPT_END; ++row)
        if (row->name != nullptr && std::string(row->name) == "-") return row;
    return nullptr;
}

// What an option wants after it: its own label, or that of the row whose listing line it shares.
std::string argumentWanted(const OptionSpec* row) {
    while (row->argLabel == nullptr && row->help != nullptr && row->help[0] == '\0' &&
           row[1].type != OPT_END)
        ++row;
    return row->argLabel != nullptr ? row->argLabel : "a value";
}

}  // namespace

std::string commandLineComplaint() {
    const RefusedWord& refused = refusedOptionWord();
    if (!refused.word.empty() && refused.row != nullptr)
        return "\"" + refused.word + "\" needs " + argumentWanted(refused.row) + " after it";
    if (!refused.word.empty()) return "\"" + refused.word + "\" was not understood";
    const std::string unknown = wordTakenBy(unknownOptionRow());
    if (!unknown.empty()) return "\"" + unknown + "\" is not an option";
    return "";
}
