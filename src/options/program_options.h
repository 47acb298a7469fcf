// This program's command line: its settings with their defaults and its option table.
#pragma once

#include <string>

#include "options/option_table.h"

struct Settings {
    int helpRequested = 0;
    int runTerminal = 0;
    int portNumber = 1;
    const char* bslFileName = "BL_150S_14x.hex";
    int verifyMode = 0;
    int verbose = 0;
    int fastSpeed = 1;
    int testMode = 0;
    int terminalBaud = 115200;
    const char* firmwareFileName = nullptr;
    // Device to open instead of "COM<portNumber>": a device path, a Windows device name, or
    // "sim[:settings]" for the built-in simulated target. Null: the numbered COM port.
    const char* deviceName = nullptr;
    // Hidden: print the program's name and version and end.
    int versionRequested = 0;
    // Hidden: the loader family the chip carries (kFamilyAuto: found from its answers).
    int loaderFamily = 0;
};

// The values of loaderFamily, in the order of the option's words (auto, classic, 5xx).
constexpr int kFamilyAuto = 0;
constexpr int kFamilyClassic = 1;
constexpr int kFamilyPacket = 2;

extern Settings settings;
// Restores every setting to its default (before each run of the command line, e.g. in tests).
void resetSettings();
extern OptionSpec programOptions[];
// The separators that may stand between an option name and an attached argument.
extern const char* const programOptionSeparators;  // ":=#"

// What the last parse of the command line did not understand, in one sentence for standard error
// (an unknown option, an option without its value); empty when it understood every word.
std::string commandLineComplaint();
