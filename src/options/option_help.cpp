// The option listing: for each listed row (or group of rows sharing one help text) its names and
// argument labels, then the help text with the target's current value filled in.

#include <cstdarg>
#include <cstdio>

#include "options/option_help.h"
#include "options/option_table.h"

namespace {

// Shown for a string option whose variable holds no text yet.
const char* const noStringValue = "(none)";

// The number of characters a print reported, or 0 when it failed.
int printed(int count) { return count > 0 ? count : 0; }

// Prints a row's help text. The text is a printf-style format supplied by the option table.
void printHelpText(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
}

int intTarget(const OptionSpec& row) {
    return row.target != nullptr ? *static_cast<const int*>(row.target) : 0;
}

// The label after an option name, in the form its type gives: optional arguments in brackets.
int printLabel(const OptionSpec& row) {
    switch (row.type) {
        case OPT_CHOICE_OPTARG:
        case OPT_INT_OPTARG:
        case OPT_FLOAT_OPTARG: return printed(std::printf(" [%s]", row.argLabel));
        case OPT_CHOICE:
        case OPT_INT:
        case OPT_FLOAT:
        case OPT_STRING:
        case OPT_STRING_LIST:
        case OPT_OPTIONS_FILE:
        case OPT_MACRO_CHOICE: return printed(std::printf(" %s", row.argLabel));
        default: return 0;
    }
}

// The help text with the argument its type gives: the current value of the target.
void printHelp(const OptionSpec& row) {
    switch (row.type) {
        case OPT_CHOICE:
        case OPT_CHOICE_OPTARG:
            printHelpText(row.help, pickAlternative(row.argLabel, intTarget(row)));
            break;
        case OPT_INT:
        case OPT_INT_OPTARG: printHelpText(row.help, intTarget(row)); break;
        case OPT_STRING: {
            const char* value =
                row.target != nullptr ? *static_cast<const char* const*>(row.target) : nullptr;
            printHelpText(row.help, value != nullptr ? value : noStringValue);
            break;
        }
        case OPT_FLOAT:
        case OPT_FLOAT_OPTARG: {
            const float value =
                row.target != nullptr ? *static_cast<const float*>(row.target) : 0.0f;
            printHelpText(row.help, static_cast<double>(value));
            break;
        }
        case OPT_MACRO: {
            const char* text = static_cast<const char*>(row.target);
            printHelpText(row.help, text != nullptr ? text : noStringValue);
            break;
        }
        default: printHelpText(row.help); break;
    }
}

}  // namespace

void printOptionHelp(const OptionSpec* table) {
    if (table == nullptr) return;
    // Characters printed so far on the current line of names and labels.
    int lineWidth = 0;
    for (const OptionSpec* row = table; row->type != OPT_END; ++row) {
        if (row->help == nullptr) continue;  // a hidden row: not listed, grouping undisturbed
        if (row->name != nullptr && *row->name != '\0') {
            if (lineWidth != 0) lineWidth += printed(std::printf(", "));
            lineWidth += printed(std::printf("%s", row->name));
            if (row->argLabel != nullptr && *row->argLabel != '\0') lineWidth += printLabel(*row);
        }
        // An empty help text groups this row's names with those of the next listed row.
        if (*row->help == '\0') continue;
        // Short names keep the help text on their line; longer ones put it on the next.
        if (lineWidth > 7) std::fputs("\n", stdout);
        if (lineWidth != 0) std::fputs("\t", stdout);
        printHelp(*row);
        std::fputs("\n", stdout);
        lineWidth = 0;
    }
}

const char* optionLibraryVersion() { return "1.0.6"; }

const char* optionLibraryDate() { return "2005/04/03"; }

const char* optionLibraryAttribution() {
    return "Table-driven command-line option library of bsl430";
}
