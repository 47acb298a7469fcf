// The option listing of an option table, and the library's identification.
#pragma once

#include "options/option_table.h"

void printOptionHelp(const OptionSpec* table);
const char* optionLibraryVersion();
const char* optionLibraryDate();
const char* optionLibraryAttribution();
