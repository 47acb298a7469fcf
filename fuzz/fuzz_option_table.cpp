// The option library with a table that uses every option type, options files and option strings
// included, on arbitrary words and file contents.
//
// Input: the words, then the contents of the options file "a", then that of "b", the three parts
// separated by the byte 0x01 (a missing part is empty); the words are separated by NUL bytes.
// The files lie in the fuzzer's scratch directory, the working directory while the input runs, so
// the words (and the files themselves) can name "a" and "b", each other, themselves or files that
// do not exist. The table's option strings also include themselves and each other.
//
// Properties: no crash, no memory fault, no endless nesting; the parser answers 0 or 1; fixed-size
// number lists are never written past their end (each lives in an exact-size heap block); string
// lists stay null-terminated; the listing prints with whatever values the words left.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "options/option_help.h"
#include "options/option_table.h"

namespace {

// Every target lives in a heap block of exactly its size, so a write past a list's end is caught.
struct Targets {
    std::unique_ptr<int> flag{new int(0)};
    std::unique_ptr<int> colour{new int(0)};
    std::unique_ptr<int> mode{new int(0)};
    std::unique_ptr<int[]> triple{new int[3]()};
    std::unique_ptr<int> count{new int(0)};
    std::unique_ptr<float[]> pair{new float[2]()};
    std::unique_ptr<float> ratio{new float(0)};
    std::unique_ptr<const char*> output{new const char*(nullptr)};
    std::unique_ptr<const char**> includes{new const char**(nullptr)};
    std::unique_ptr<int> wide{new int(0)};
    std::unique_ptr<int> unknown{new int(0)};
    std::unique_ptr<const char*> positional{new const char*(nullptr)};
};

// A list of alternatives longer than the 255 characters the library's buffer was once sized for.
std::string longAlternatives() {
    std::string list;
    for (int i = 0; i < 40; ++i)
        list += (i != 0 ? "/" : "") + std::string("choice") + std::to_string(i);
    return list;
}

// The option strings: a preset, one that names itself, and the alternatives of a profile choice,
// one of which reads an options file and one of which comes back to the profile choice.
const char* presetString = "-s -i 1,2,3 \"-o\" \"x y\" --ratio 50% -I \"\" -c blue";
const char* loopString = "-c red --loop";
const char* profiles[] = {"-n 5 -f 1,2", "-I a -I b -I \"c d\" -I", "@a", "--profile 3", "  "};

std::vector<OptionSpec> makeTable(Targets& t) {
    static const std::string wideList = longAlternatives();
    return {
        {OPT_SET, "-s", nullptr, t.flag.get(), 7.9f, "set a flag"},
        {OPT_CHOICE, "-c", "red/green/blue", t.colour.get(), 3.0f, ""},
        {OPT_CHOICE, "--colour", "red/green/blue", t.colour.get(), 3.0f, "colour %s"},
        {OPT_CHOICE_OPTARG, "--mode", "fast/slow//hidden", t.mode.get(), 2.0f, "mode %s"},
        {OPT_INT, "-i", "<a,b,c>", t.triple.get(), 3.0f, "three numbers, the first %d"},
        {OPT_INT_OPTARG, "-n", "<n>", t.count.get(), -1.5f, "count %d"},
        {OPT_FLOAT, "-f", "<x,y>", t.pair.get(), 2.0f, "two numbers, the first %g"},
        {OPT_FLOAT_OPTARG, "--ratio", "<r>", t.ratio.get(), 0.25f, "ratio %g"},
        {OPT_STRING, "-o", "<file>", t.output.get(), 0.0f, "output %s"},
        {OPT_STRING_LIST, "-I", "<dir>", t.includes.get(), 0.0f, "include directories"},
        {OPT_OPTIONS_FILE, "@", nullptr, nullptr, 0.0f, ""},
        {OPT_OPTIONS_FILE, "--file", "<options file>", nullptr, 0.0f, "options from a file"},
        {OPT_MACRO, "--preset", nullptr, const_cast<char*>(presetString), 0.0f, "preset: %s"},
        {OPT_MACRO, "--loop", nullptr, const_cast<char*>(loopString), 0.0f, nullptr},
        {OPT_MACRO_CHOICE, "--profile", "small/lists/file/again/blank", profiles, 5.0f, "profile"},
        {OPT_CHOICE, "--wide", wideList.c_str(), t.wide.get(), 1000.0f, "wide %s"},
        {OPT_SET, "-", nullptr, t.unknown.get(), 1.0f, nullptr},
        {OPT_STRING, "", "", t.positional.get(), 0.0f, nullptr},
        {OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr},
    };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::InScratchDirectory inScratch;
    fuzzsupport::discardStdout();

    std::vector<std::string> parts = fuzzsupport::splitAt(data, size, '\x01');
    while (parts.size() < 3) parts.emplace_back();
    // Anything after a third separator belongs to file "b".
    for (std::size_t i = 3; i < parts.size(); ++i) parts[2] += '\x01' + parts[i];
    fuzzsupport::writeFile("a", parts[1].data(), parts[1].size());
    fuzzsupport::writeFile("b", parts[2].data(), parts[2].size());

    std::vector<std::string> words;
    if (!parts[0].empty())
        words = fuzzsupport::splitAt(reinterpret_cast<const std::uint8_t*>(parts[0].data()),
                                     parts[0].size(), '\0');
    std::vector<char*> argv;
    static char programName[] = "prog";
    argv.push_back(programName);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    Targets targets;
    std::vector<OptionSpec> table = makeTable(targets);
    const int result =
        parseOptions(static_cast<int>(argv.size() - 1), argv.data(), table.data(), ":=#");
    FUZZ_CHECK(result == 0 || result == 1, std::to_string(result));

    // A string list stays a null-terminated vector of readable strings.
    if (const char** list = *targets.includes) {
        std::size_t total = 0;
        for (const char** p = list; *p != nullptr; ++p) total += std::strlen(*p);
        (void)total;
    }
    printOptionHelp(table.data());
    return 0;
}
