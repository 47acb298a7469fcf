// Internals of the option library shared by its source files: the store that keeps every string
// the library hands out, and the nested parsing of options files and option strings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "options/option_table.h"

namespace optstore {

// Installs the handler that ends the program when memory runs out, unless the program has chosen
// its own: the library has no way to report it otherwise, and a half-stored command line must not
// be acted upon.
void ensureOutOfMemoryHandler();

// A copy of the text that lives until the process ends. The library never releases what it stores,
// so callers may keep the pointer as long as they like; a variable may also start out pointing to a
// static default, which the library simply replaces.
const char* keepString(std::string_view text);

// Appends a copy of the item to a null-terminated vector of strings and returns the vector that now
// holds it (it may have moved). A null list starts a new vector.
const char** appendToStringList(const char** list, const char* item);

// The handling of one word taken by an OPT_OPTIONS_FILE, OPT_MACRO or OPT_MACRO_CHOICE row.
// Each returns 0 when the nested parse succeeded and 1 when the word fails.
int parseOptionsFile(const char* fileName, const OptionSpec* table, const char* separators);
int parseOptionString(const char* text, const OptionSpec* table, const char* separators);

// Splits an option string into its words: runs of characters other than ' ', or text between
// double quotes.
std::vector<std::string> splitOptionString(const char* text);

// How deep options files and option strings may nest; a word that would go deeper fails.
constexpr int maxNestingDepth = 16;

}  // namespace optstore
