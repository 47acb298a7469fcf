// The table-driven command-line parser: name matching, alternatives, and the handling of every
// option type. The parser prints nothing; it stores values into the rows' targets and reports 0
// or 1.

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options/option_store.h"
#include "options/option_table.h"

namespace {

// The alternatives buffer: pickAlternative copies the list here and cuts one alternative out of it.
std::string& alternativesBuffer() {
    static auto* buffer = new std::string;
    return *buffer;
}

// ---- Small helpers ------------------------------------------------------------------------------

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A row's number where an integer is needed: truncated toward zero, limited to the int range.
int truncatedValue(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return INT_MAX;
    if (value <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

// Reads a decimal integer from the start of the text: leading white space, an optional sign, then
// digits. A number beyond the int range is limited to it. Returns the character just after the
// number, or null when no number stands at the start.
const char* readInteger(const char* text, int* result) {
    const char* p = text;
    while (isWhiteSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (!isDecimalDigit(*p)) return nullptr;
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    for (; isDecimalDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    *result = static_cast<int>(negative ? -magnitude : magnitude);
    return p;
}

// Reads a decimal floating-point number from the start of the text: leading white space, an
// optional sign, digits with an optional decimal point, an optional exponent. A '%' directly after
// the number divides it by 100. Returns the character just after the number (before any '%'), or
// null when no number stands at the start.
const char* readFloat(const char* text, float* result) {
    const char* p = text;
    while (isWhiteSpace(*p)) ++p;
    const char* start = p;
    if (*p == '+' || *p == '-') ++p;
    bool digits = false;
    while (isDecimalDigit(*p)) ++p, digits = true;
    if (*p == '.') {
        ++p;
        while (isDecimalDigit(*p)) ++p, digits = true;
    }
    if (!digits) return nullptr;
    if (*p == 'e' || *p == 'E') {
        const char* e = p + 1;
        if (*e == '+' || *e == '-') ++e;
        if (isDecimalDigit(*e)) {
            while (isDecimalDigit(*e)) ++e;
            p = e;
        }
    }
    // Only plain decimal text reaches the conversion, so it reads exactly the characters above.
    const std::string number(start, p);
    double value = std::strtod(number.c_str(), nullptr);
    if (*p == '%') value /= 100.0;
    if (value > FLT_MAX) {
        *result = HUGE_VALF;
    } else if (value < -FLT_MAX) {
        *result = -HUGE_VALF;
    } else {
        *result = static_cast<float>(value);
    }
    return p;
}

// Where a type finds its argument: the text attached to the option word, or else the next word.
struct WordCursor {
    int argc;
    char** argv;
    int index;  // the word being handled
};

// The attached argument when there is one, otherwise the next word (the cursor moves over it and
// tookNext is set), otherwise null.
const char* takeArgument(const char* attached, WordCursor& cursor, bool* tookNext) {
    *tookNext = false;
    if (*attached != '\0') return attached;
    if (cursor.index + 1 >= cursor.argc) return nullptr;
    ++cursor.index;
    *tookNext = true;
    const char* next = cursor.argv[cursor.index];
    return next != nullptr ? next : "";
}

// The index of the alternative the argument names: an alternative of the row's list, or a number
// below the row's bound. -1 when the argument is neither.
int chooseAlternative(const OptionSpec& row, const char* argument) {
    for (int i = 0;; ++i) {
        const char* alternative = pickAlternative(row.argLabel, i);
        if (*alternative == '\0') break;
        if (std::strcmp(argument, alternative) == 0) return i;
    }
    if (!isDecimalDigit(*argument)) return -1;
    long long index = 0;
    for (const char* p = argument; isDecimalDigit(*p); ++p) {
        index = index * 10 + (*p - '0');
        if (index > INT_MAX) return -1;
    }
    return index < truncatedValue(row.value) ? static_cast<int>(index) : -1;
}

void storeInt(const OptionSpec& row, int element, int value) {
    if (row.target != nullptr) static_cast<int*>(row.target)[element] = value;
}

void storeFloat(const OptionSpec& row, int element, float value) {
    if (row.target != nullptr) static_cast<float*>(row.target)[element] = value;
}

// OPT_INT and OPT_FLOAT: a fixed number of elements, separated by ',' within a word or spread over
// several words.
int readNumberList(const OptionSpec& row, const char* attached, WordCursor& cursor, bool floats) {
    const int count = truncatedValue(row.value);
    const char* current = attached;
    for (int element = 0; element < count; ++element) {
        if (*current == '\0') {
            if (cursor.index + 1 >= cursor.argc) return 1;
            ++cursor.index;
            current = cursor.argv[cursor.index] != nullptr ? cursor.argv[cursor.index] : "";
        }
        const char* end;
        if (floats) {
            float number = 0;
            end = readFloat(current, &number);
            if (end == nullptr) return 1;
            storeFloat(row, element, number);
        } else {
            int number = 0;
            end = readInteger(current, &number);
            if (end == nullptr) return 1;
            storeInt(row, element, number);
        }
        const char* comma = std::strchr(end, ',');
        current = comma != nullptr ? comma + 1 : "";
    }
    return 0;
}

// Handles the word at the cursor, taken by the given row; attached is the text after its name.
int handleWord(const OptionSpec& row, const char* attached, WordCursor& cursor,
               const OptionSpec* table, const char* separators) {
    bool tookNext = false;
    switch (row.type) {
        case OPT_SET: storeInt(row, 0, truncatedValue(row.value)); return 0;

        case OPT_CHOICE: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            if (argument == nullptr) return 1;
            const int index = chooseAlternative(row, argument);
            if (index < 0) return 1;
            storeInt(row, 0, index);
            return 0;
        }

        case OPT_CHOICE_OPTARG: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            const int index = chooseAlternative(row, argument != nullptr ? argument : "");
            if (index >= 0) {
                storeInt(row, 0, index);
            } else {
                storeInt(row, 0, truncatedValue(row.value));
                if (tookNext) --cursor.index;  // the word is handled on its own
            }
            return 0;
        }

        case OPT_INT: return readNumberList(row, attached, cursor, false);

        case OPT_FLOAT: return readNumberList(row, attached, cursor, true);

        case OPT_INT_OPTARG: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            storeInt(row, 0, truncatedValue(row.value));
            int number = 0;
            if (argument != nullptr && readInteger(argument, &number) != nullptr) {
                storeInt(row, 0, number);
            } else if (tookNext) {
                --cursor.index;
            }
            return 0;
        }

        case OPT_FLOAT_OPTARG: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            storeFloat(row, 0, row.value);
            float number = 0;
            if (argument != nullptr && readFloat(argument, &number) != nullptr) {
                storeFloat(row, 0, number);
            } else if (tookNext) {
                --cursor.index;
            }
            return 0;
        }

        case OPT_STRING: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            if (argument == nullptr) return 1;
            if (row.target != nullptr) {
                *static_cast<const char**>(row.target) = optstore::keepString(argument);
            }
            return 0;
        }

        case OPT_STRING_LIST: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            if (argument == nullptr) return 1;
            if (row.target != nullptr) {
                auto* list = static_cast<const char***>(row.target);
                *list = optstore::appendToStringList(*list, optstore::keepString(argument));
            }
            return 0;
        }

        case OPT_OPTIONS_FILE: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            if (argument == nullptr || *argument == '\0') return 1;
            return optstore::parseOptionsFile(argument, table, separators);
        }

        case OPT_MACRO:
            return optstore::parseOptionString(static_cast<const char*>(row.target), table,
                                               separators);

        case OPT_MACRO_CHOICE: {
            const char* argument = takeArgument(attached, cursor, &tookNext);
            if (argument == nullptr) return 1;
            const int index = chooseAlternative(row, argument);
            if (index < 0 || row.target == nullptr) return 1;
            const char* text = static_cast<const char* const*>(row.target)[index];
            return optstore::parseOptionString(text, table, separators);
        }

        default: return 1;
    }
}

// What the parse of this thread's command line took and refused, for the caller to explain a
// bad word. Nested parses (options files) add to the outer one's notes.
struct ParseNotes {
    int depth = 0;
    RefusedWord refused;
    std::vector<std::pair<const OptionSpec*, std::string>> taken;  // the first word of each row
};

ParseNotes& parseNotes() {
    thread_local ParseNotes notes;
    return notes;
}

void noteRefused(const char* word, const OptionSpec* row) {
    RefusedWord& refused = parseNotes().refused;
    if (!refused.word.empty()) return;  // the first one is the one to explain
    refused.word = word;
    refused.row = row;
}

void noteTaken(const OptionSpec* row, const char* word) {
    auto& taken = parseNotes().taken;
    for (const auto& entry : taken)
        if (entry.first == row) return;
    taken.emplace_back(row, word);
}

// Counts the nesting of parseOptions calls; the outermost starts the notes afresh.
class ParseDepth {
public:
    ParseDepth() {
        ParseNotes& notes = parseNotes();
        if (notes.depth++ == 0) {
            notes.refused = RefusedWord{};
            notes.taken.clear();
        }
    }
    ~ParseDepth() { --parseNotes().depth; }
    ParseDepth(const ParseDepth&) = delete;
    ParseDepth& operator=(const ParseDepth&) = delete;
};

}  // namespace

// ---- The parser ---------------------------------------------------------------------------------

int matchOptionName(const char* word, const char* name) {
    if (name == nullptr || word == nullptr) return 0;
    const std::size_t length = std::strlen(name);
    if (length == 0) return 1;
    if (std::strncmp(word, name, length) != 0) return 0;
    // A name that ends in a letter is a whole word: "-p" takes "-p3" and "-p=3" but not "-port".
    if (!isAsciiLetter(name[length - 1])) return 1;
    return isAsciiLetter(word[length]) ? 0 : 1;
}

const char* pickAlternative(const char* list, int index) {
    static const char empty[] = "";
    if (list == nullptr || index < 0) return empty;
    std::string& buffer = alternativesBuffer();
    optstore::ensureOutOfMemoryHandler();
    buffer.assign(list);
    std::size_t start = 0;
    for (int skipped = 0; skipped < index; ++skipped) {
        const std::size_t slash = buffer.find('/', start);
        if (slash == std::string::npos) return empty;
        start = slash + 1;
    }
    const std::size_t end = buffer.find('/', start);
    if (end != std::string::npos) buffer[end] = '\0';
    return buffer.c_str() + start;
}

const RefusedWord& refusedOptionWord() { return parseNotes().refused; }

std::string wordTakenBy(const OptionSpec* row) {
    for (const auto& entry : parseNotes().taken)
        if (entry.first == row) return entry.second;
    return "";
}

int parseOptions(int argc, char** argv, const OptionSpec* table, const char* separators) {
    optstore::ensureOutOfMemoryHandler();
    const ParseDepth depth;
    if (argc <= 1) return 0;
    if (argv == nullptr || table == nullptr) return 1;
    if (separators == nullptr) separators = "";

    WordCursor cursor{argc, argv, 1};
    while (cursor.index < argc) {
        const char* word = argv[cursor.index] != nullptr ? argv[cursor.index] : "";

        // The first row whose name takes the word and whose type is known handles it.
        const OptionSpec* row = nullptr;
        for (const OptionSpec* candidate = table; candidate->type != OPT_END; ++candidate) {
            if (candidate->type >= OPT_SET && candidate->type <= OPT_MACRO_CHOICE &&
                matchOptionName(word, candidate->name)) {
                row = candidate;
                break;
            }
        }
        if (row == nullptr) {
            noteRefused(word, nullptr);
            return 1;
        }

        // One separator character may stand between the name and an attached argument.
        const char* attached = word + std::strlen(row->name);
        if (*attached != '\0' && std::strchr(separators, *attached) != nullptr) ++attached;

        noteTaken(row, word);
        if (handleWord(*row, attached, cursor, table, separators) != 0) {
            noteRefused(word, row);
            return 1;
        }
        ++cursor.index;
    }
    return 0;
}
