// This program's command line: the settings with their defaults and the option table that fills
// them. Rows are tried in order; the catch-all rows at the end take unknown options and the
// firmware file name.

#include "options/program_options.h"

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
    // Hidden: a device to open instead of the numbered COM port. Before the catch-all "-" row.
    {OPT_STRING, "--device", nullptr, &settings.deviceName, 0.0f, nullptr},
    {OPT_SET, "-", nullptr, &settings.helpRequested, 1.0f, nullptr},
    {OPT_STRING, "", "", &settings.firmwareFileName, 0.0f, nullptr},
    {OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr},
};
