// Options taken from a text file or from fixed option strings in the table. Their words are
// collected into a token vector and parsed by a nested parseOptions call with the same table and
// separators, so they act as if typed in place of the option word.

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "options/option_store.h"
#include "options/option_table.h"

namespace {

// How many nested options files and option strings are being parsed right now.
int nestingDepth = 0;

bool isWhiteSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Parses the words as a nested argument vector: slot 0 a fixed empty string where a program name
// would stand, then the words, then null. The vector and its words are released on return; the
// values stored from them are the library's own copies.
int parseWords(std::vector<std::string>& words, const OptionSpec* table, const char* separators) {
    static char programSlot[] = "";
    if (words.size() >= static_cast<std::size_t>(INT_MAX)) return 1;
    std::vector<char*> tokens;
    tokens.reserve(words.size() + 2);
    tokens.push_back(programSlot);
    for (std::string& word : words) tokens.push_back(word.data());
    tokens.push_back(nullptr);

    ++nestingDepth;
    const int result =
        parseOptions(static_cast<int>(words.size() + 1), tokens.data(), table, separators);
    --nestingDepth;
    return result != 0 ? 1 : 0;
}

}  // namespace

namespace optstore {

std::vector<std::string> splitOptionString(const char* text) {
    std::vector<std::string> words;
    if (text == nullptr) return words;
    const char* p = text;
    for (;;) {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        if (*p == '"') {
            // Quoted: up to the closing quote (or the end); neither quote belongs to the word.
            const char* start = ++p;
            while (*p != '\0' && *p != '"') ++p;
            words.emplace_back(start, p);
            if (*p == '"') ++p;
        } else {
            const char* start = p;
            while (*p != '\0' && *p != ' ') ++p;
            words.emplace_back(start, p);
        }
    }
    return words;
}

int parseOptionsFile(const char* fileName, const OptionSpec* table, const char* separators) {
    if (nestingDepth >= maxNestingDepth) return 1;
    std::FILE* file = std::fopen(fileName, "r");
    if (file == nullptr) return 1;

    // Words are maximal runs of characters other than white space; there is no quoting.
    std::vector<std::string> words;
    std::string word;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (isWhiteSpace(c)) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(static_cast<char>(c));
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    // A file that could be opened but not read (a directory, say) is not an empty file.
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed) return 1;

    return parseWords(words, table, separators);
}

int parseOptionString(const char* text, const OptionSpec* table, const char* separators) {
    if (nestingDepth >= maxNestingDepth) return 1;
    std::vector<std::string> words = splitOptionString(text);
    return parseWords(words, table, separators);
}

}  // namespace optstore
