// A general table-driven command-line parser: one OptionSpec row per option, the table ended by
// a row of type OPT_END.
#pragma once

#include <cstdint>
#include <string>

enum OptionType : std::int32_t {
    OPT_END = 0,
    OPT_SET = 1,
    OPT_CHOICE = 2,
    OPT_CHOICE_OPTARG = 3,
    OPT_INT = 4,
    OPT_INT_OPTARG = 5,
    OPT_FLOAT = 6,
    OPT_FLOAT_OPTARG = 7,
    OPT_STRING = 8,
    OPT_STRING_LIST = 9,
    OPT_OPTIONS_FILE = 10,
    OPT_MACRO = 11,
    OPT_MACRO_CHOICE = 12
};

struct OptionSpec {
    std::int32_t type;
    const char* name;
    const char* argLabel;
    void* target;
    float value;
    const char* help;
};

// 0 when every word was handled, 1 at the first bad word.
int parseOptions(int argc, char** argv, const OptionSpec* table, const char* separators);

// The word the last parseOptions call on this thread stopped at (options files included), and the
// row that could not handle it (null: no row takes the word). An empty word: none.
struct RefusedWord {
    std::string word;
    const OptionSpec* row = nullptr;
};
const RefusedWord& refusedOptionWord();

// The first word `row` took in the last parseOptions call on this thread; empty when none.
std::string wordTakenBy(const OptionSpec* row);
int matchOptionName(const char* word, const char* name);
const char* pickAlternative(const char* list, int index);
