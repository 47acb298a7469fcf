// Options files and option strings as people get them wrong: files that name each other, option
// strings that name themselves, words of a megabyte, empty words, bytes outside ASCII, NUL bytes,
// a folder named as an options file. Each is answered at once, without a crash, with what it
// stored intact.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "options/option_store.h"
#include "options/option_table.h"

namespace {

struct Targets {
    const char* text = nullptr;
    const char** list = nullptr;
    int flag = 0;
};
Targets t;

const char* loopString = "-s --loop";
const char* pairStrings[] = {"-s --pair 1", "--pair 0"};
std::string bigStringWord;  // an option string holding one quoted word of a megabyte
const char* bigStringText = nullptr;

OptionSpec table[] = {
    {OPT_STRING, "-o", nullptr, &t.text, 0.0f, nullptr},
    {OPT_STRING_LIST, "-I", nullptr, &t.list, 0.0f, nullptr},
    {OPT_SET, "-s", nullptr, &t.flag, 5.0f, nullptr},
    {OPT_OPTIONS_FILE, "--file", nullptr, nullptr, 0.0f, nullptr},
    {OPT_MACRO, "--loop", nullptr, const_cast<char*>(loopString), 0.0f, nullptr},
    {OPT_MACRO_CHOICE, "--pair", "first/second", pairStrings, 2.0f, nullptr},
    {OPT_MACRO, "--big", nullptr, nullptr, 0.0f, nullptr},  // target set once the word is made
    {OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr},
};

int parse(std::vector<std::string> words) {
    std::vector<char*> argv;
    static char program[] = "prog";
    argv.push_back(program);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return parseOptions(static_cast<int>(words.size() + 1), argv.data(), table, ":=#");
}

std::vector<std::string> listed() {
    std::vector<std::string> items;
    for (const char** p = t.list; p != nullptr && *p != nullptr; ++p) items.push_back(*p);
    return items;
}

struct FileCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content (in the scratch dir)
    std::vector<std::string> words;                          // "@name" stands for the file's path
    int result;
    std::string text;               // -o afterwards ("(null)" when never set)
    std::vector<std::string> list;  // -I afterwards
};

std::string repeated(const std::string& unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += unit;
    return s;
}

const std::string kMegaWord(1 << 20, 'w');
const std::string kNonAscii = "\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD-\xFF\x80\x01\x7F";

// What a pair of files naming each other stores from the second file: once for every other level of
// nesting, until the nesting limit stops them.
std::vector<std::string> kEveryOtherLevel(const std::string& item) {
    return std::vector<std::string>(optstore::maxNestingDepth / 2, item);
}

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.name; }

class OptionsFiles : public testing::TestWithParam<FileCase> {};

TEST_P(OptionsFiles, AnsweredAtOnceWithWhatWasStoredIntact) {
    const FileCase& c = GetParam();
    hardening::ScratchDir dir;
    auto resolve = [&](std::string text) {
        // "@name" anywhere stands for the path of that scratch file.
        for (std::size_t at; (at = text.find('@')) != std::string::npos;) {
            std::size_t end = at + 1;
            while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                         static_cast<unsigned char>(text[end]) >= 0x80))
                ++end;
            text.replace(at, end - at, dir.file(text.substr(at + 1, end - at - 1)));
        }
        return text;
    };
    for (const auto& [name, content] : c.files) dir.write(name, resolve(content));
    std::vector<std::string> words;
    for (const std::string& w : c.words) words.push_back(resolve(w));

    t = Targets{};
    const auto start = hardening::SteadyClock::now();
    const int result = parse(words);
    const double seconds = hardening::secondsSince(start);

    EXPECT_EQ(result, c.result);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(std::string(t.text != nullptr ? t.text : "(null)"), c.text);
    EXPECT_EQ(listed(), c.list);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsFiles,
    testing::Values(
        FileCase{"NameEachOther",
                 {{"a", "-o from-a --file @b"}, {"b", "-I from-b --file @a"}},
                 {"--file", "@a"},
                 1,
                 "from-a",
                 kEveryOtherLevel("from-b")},
        FileCase{"NameEachOtherManyTimes",
                 {{"a", repeated("--file @b ", 200)}, {"b", repeated("-I b --file @a\n", 200)}},
                 {"--file", "@a"},
                 1,
                 "(null)",
                 kEveryOtherLevel("b")},
        FileCase{"NameThemselvesThroughAThird",
                 {{"a", "--file @b"}, {"b", "--file @c"}, {"c", "-o c --file @a"}},
                 {"-o", "first", "--file=@a"},
                 1,
                 "c",
                 {}},
        FileCase{"OptionStringNamesItself", {}, {"--loop"}, 1, "(null)", {}},
        FileCase{"OptionStringsNameEachOther", {}, {"--pair", "second"}, 1, "(null)", {}},
        FileCase{"MegabyteWordInFile",
                 {{"a", "-o " + kMegaWord + "\n-I x"}},
                 {"--file", "@a"},
                 0,
                 kMegaWord,
                 {"x"}},
        FileCase{"MegabyteWordOnCommandLine",
                 {},
                 {"-I", kMegaWord, "-o=" + kMegaWord},
                 0,
                 kMegaWord,
                 {kMegaWord}},
        FileCase{"MegabyteWordInOptionString", {}, {"--big"}, 0, kMegaWord, {}},
        FileCase{"EmptyWords", {}, {"-o", "", "-I", "", "-I", ""}, 0, "", {"", ""}},
        FileCase{"EmptyFileName", {}, {"--file", ""}, 1, "(null)", {}},
        FileCase{"NonAsciiInFileAndName",
                 {{"\xC5\xBE\xC3\xA1k", "-o " + kNonAscii + "\n-I\t" + kNonAscii}},
                 {"--file", "@\xC5\xBE\xC3\xA1k"},
                 0,
                 kNonAscii,
                 {kNonAscii}},
        FileCase{"NonAsciiOnCommandLine",
                 {},
                 {"-I" + kNonAscii, "-o:" + kNonAscii},
                 0,
                 kNonAscii,
                 {kNonAscii}},
        // A NUL byte cannot stand inside a word handed on as text: it ends the word.
        FileCase{"NulInFile",
                 {{"a", std::string("-o ab\0cd -I x", 13)}},
                 {"--file", "@a"},
                 0,
                 "ab",
                 {"x"}},
        FileCase{"FolderAsOptionsFile", {}, {"-o", "kept", "--file", "@"}, 1, "kept", {}}),
    [](const testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

// The option string of a megabyte is made before the cases run.
const bool bigStringReady = [] {
    bigStringWord = "-o \"" + kMegaWord + "\"";
    bigStringText = bigStringWord.c_str();
    for (OptionSpec& row : table)
        if (row.name != nullptr && std::strcmp(row.name, "--big") == 0)
            row.target = const_cast<char*>(bigStringText);
    return true;
}();

}  // namespace
