// The parser over one table holding every option type: what each command line stores, where it
// stops, options files and option strings.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "option_test_util.h"
#include "options/option_store.h"
#include "options/option_table.h"
#include "support/temp_dir.h"

using opttest::joined;
using opttest::parse;

namespace {

struct Targets {
    int p = -1, n[3] = {-1, -1, -1}, i = -1, c = -1, o = -1, s = -1;
    float f[2] = {-1, -1}, g = -1;
    const char *x = nullptr, **l = nullptr, *rest = nullptr;
} t;

const char* const choiceStrings[] = {"-s -p 1", "-p 2"};

OptionSpec table[] = {
    {OPT_INT, "-p", nullptr, &t.p, 1.0f, nullptr},
    {OPT_INT, "-n", nullptr, t.n, 3.9f, nullptr},
    {OPT_INT_OPTARG, "-i", nullptr, &t.i, 7.9f, nullptr},
    {OPT_CHOICE, "-c", "off/on", &t.c, 2.0f, nullptr},
    {OPT_CHOICE_OPTARG, "-o", "off/on", &t.o, 2.0f, nullptr},
    {OPT_SET, "-s", nullptr, &t.s, 5.0f, nullptr},
    {OPT_FLOAT, "-f", nullptr, t.f, 2.0f, nullptr},
    {OPT_FLOAT_OPTARG, "-g", nullptr, &t.g, 2.5f, nullptr},
    {OPT_STRING, "-x", nullptr, &t.x, 0.0f, nullptr},
    {OPT_STRING_LIST, "-l", nullptr, &t.l, 0.0f, nullptr},
    {OPT_OPTIONS_FILE, "-F", nullptr, nullptr, 0.0f, nullptr},
    {OPT_MACRO, "-m", nullptr, const_cast<char*>("-p 5 -x \"two words\""), 0.0f, nullptr},
    {OPT_MACRO, "-self", nullptr, const_cast<char*>("-s -self"), 0.0f, nullptr},
    {OPT_MACRO, "-empty", nullptr, const_cast<char*>("   "), 0.0f, nullptr},
    {OPT_MACRO_CHOICE, "-k", "fast/slow", const_cast<char**>(choiceStrings), 2.0f, nullptr},
    {13, "-u", nullptr, &t.s, 1.0f, nullptr},  // unknown types are passed over
    {OPT_STRING, "", nullptr, &t.rest, 0.0f, nullptr},
    {OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr},
};

// The targets that differ from their starting values, as "name=value" words.
std::string changes() {
    std::string out;
    auto add = [&](const char* name, const std::string& value) {
        out += (out.empty() ? "" : " ") + std::string(name) + "=" + value;
    };
    auto number = [](float v) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", v);
        return std::string(text);
    };
    if (t.p != -1) add("p", std::to_string(t.p));
    if (t.n[0] != -1 || t.n[1] != -1 || t.n[2] != -1)
        add("n",
            std::to_string(t.n[0]) + "," + std::to_string(t.n[1]) + "," + std::to_string(t.n[2]));
    if (t.i != -1) add("i", std::to_string(t.i));
    if (t.c != -1) add("c", std::to_string(t.c));
    if (t.o != -1) add("o", std::to_string(t.o));
    if (t.s != -1) add("s", std::to_string(t.s));
    if (t.f[0] != -1 || t.f[1] != -1) add("f", number(t.f[0]) + "," + number(t.f[1]));
    if (t.g != -1) add("g", number(t.g));
    if (t.x) add("x", t.x);
    for (int k = 0; t.l && t.l[k]; ++k) add("l", t.l[k]);
    if (t.rest) add("rest", t.rest);
    return out;
}

TEST(OptionParser, Alternatives) {
    struct {
        const char* list;
        int index;
        const char* expected;
    } cases[] = {
        {"off/on", 0, "off"}, {"off/on", 1, "on"}, {"off/on", 2, ""}, {"off/on", -1, ""},
        {"a//b", 1, ""},      {"a//b", 2, "b"},    {nullptr, 0, ""},
    };
    for (const auto& c : cases) EXPECT_STREQ(pickAlternative(c.list, c.index), c.expected);
    // Lists of any length.
    std::string list;
    for (int k = 0; k < 1000; ++k)
        list += (k ? "/" : "") + std::string(40, 'a') + std::to_string(k);
    EXPECT_EQ(std::string(pickAlternative(list.c_str(), 999)), std::string(40, 'a') + "999");
}

TEST(OptionParser, CommandLines) {
    const std::string longWord(100000, 'w');
    struct {
        std::vector<std::string> words;
        int result;
        std::string changes;
    } cases[] = {
        {{}, 0, ""},
        // Attached arguments, one separator skipped, or the next word.
        {{"-p3"}, 0, "p=3"},
        {{"-p=3"}, 0, "p=3"},
        {{"-p:3"}, 0, "p=3"},
        {{"-p#3"}, 0, "p=3"},
        {{"-p", "3"}, 0, "p=3"},
        {{"-p=", " -3x"}, 0, "p=-3"},
        {{"-p==3"}, 1, ""},
        {{"-p"}, 1, ""},
        {{"-p", ""}, 1, ""},
        {{"-port"}, 0, "rest=-port"},
        {{"-P3"}, 0, "rest=-P3"},
        {{"-p\xE9"}, 1, ""},  // only A-Z and a-z count as letters after a name
        {{"-p", "99999999999"}, 0, "p=" + std::to_string(INT_MAX)},
        {{"-p", "-99999999999"}, 0, "p=" + std::to_string(INT_MIN)},
        // Choices by name or by an index below the bound.
        {{"-c", "on"}, 0, "c=1"},
        {{"-c=off"}, 0, "c=0"},
        {{"-c1x"}, 0, "c=1"},
        {{"-c", "2"}, 1, ""},
        {{"-c", "yes"}, 1, ""},
        {{"-c", "ON"}, 1, ""},
        {{"-c"}, 1, ""},
        // Optional arguments fall back to the row's number and give back a word they cannot use.
        {{"-i"}, 0, "i=7"},
        {{"-i", "12abc"}, 0, "i=12"},
        {{"-i", "x"}, 0, "i=7 rest=x"},
        {{"-i", "-s"}, 0, "i=7 s=5"},
        {{"-i=x"}, 0, "i=7"},
        {{"-o"}, 0, "o=2"},
        {{"-o", "on"}, 0, "o=1"},
        {{"-o", "z"}, 0, "o=2 rest=z"},
        {{"-g"}, 0, "g=2.5"},
        {{"-g", "50%"}, 0, "g=0.5"},
        {{"-g", "y"}, 0, "g=2.5 rest=y"},
        // Lists of a fixed length, across commas and words; stored elements stay on failure.
        {{"-n1,2,3"}, 0, "n=1,2,3"},
        {{"-n", "1", "2", "3"}, 0, "n=1,2,3"},
        {{"-n", "1,2", "3,4", "x"}, 0, "n=1,2,3 rest=x"},
        {{"-n", "1,2"}, 1, "n=1,2,-1"},
        {{"-n", "1,x,3"}, 1, "n=1,-1,-1"},
        {{"-f", "50%,25"}, 0, "f=0.5,25"},
        {{"-f", "1e2,.5"}, 0, "f=100,0.5"},
        {{"-f", "1e", "-2."}, 0, "f=1,-2"},
        {{"-f", "inf,1"}, 1, ""},
        {{"-f", "1e400,1"}, 0, "f=inf,1"},
        // Strings: the last one counts; an empty next word is a value; any length.
        {{"-x", "a", "-x=b"}, 0, "x=b"},
        {{"-x", ""}, 0, "x="},
        {{"-x"}, 1, ""},
        {{"-x", longWord}, 0, "x=" + longWord},
        {{"-l", "a", "-l=b", "-l#c"}, 0, "l=a l=b l=c"},
        {{"-l"}, 1, ""},
        // The catch-all row gets the word less one leading separator.
        {{"=fw.hex"}, 0, "rest=fw.hex"},
        {{"::fw"}, 0, "rest=:fw"},
        {{"#", "fw"}, 0, "rest=fw"},
        // Option strings.
        {{"-m=ignored"}, 0, "p=5 x=two words"},
        {{"-empty"}, 0, ""},
        {{"-self"}, 1, "s=5"},
        {{"-k", "slow"}, 0, "p=2"},
        {{"-k=fast"}, 0, "p=1 s=5"},
        {{"-k", "1"}, 0, "p=2"},
        {{"-k", "2"}, 1, ""},
        {{"-k"}, 1, ""},
        // The first bad word stops the parse; later words are not looked at.
        {{"-p", "1", "-c", "x", "-s"}, 1, "p=1"},
        {{"-u"}, 0, "rest=-u"},
        {{"-F"}, 1, ""},
        {{"-F", ""}, 1, ""},
        {{"-F", "/nonexistent/file"}, 1, ""},
        {{"-F", "/"}, 1, ""},
    };
    for (const auto& c : cases) {
        t = Targets{};
        EXPECT_EQ(parse(c.words, table), c.result) << joined(c.words);
        EXPECT_EQ(changes(), c.changes) << joined(c.words);
    }
    OptionSpec onlyEnd[] = {{OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr}};
    EXPECT_EQ(parse({"x"}, onlyEnd), 1);
}

// A string list may start out as a static vector, which is continued in a copy.
TEST(OptionParser, StringListsContinueAnyVector) {
    static const char* defaults[] = {"d0", nullptr};
    t = Targets{};
    t.l = defaults;
    std::vector<std::string> words;
    std::string expected = "l=d0";
    for (int k = 0; k < 2000; ++k) {
        words.insert(words.end(), {"-l", std::to_string(k)});
        expected += " l=" + std::to_string(k);
    }
    ASSERT_EQ(parse(words, table), 0);
    EXPECT_EQ(defaults[1], nullptr);
    EXPECT_EQ(changes(), expected);
}

TEST(OptionParser, OptionStringWords) {
    struct {
        const char* text;
        std::vector<std::string> words;
    } cases[] = {
        {"-a \"x y\" z", {"-a", "x y", "z"}},
        {"   ", {}},
        {"  a   b ", {"a", "b"}},
        {"\"\"", {""}},
        {"\"a\"b", {"a", "b"}},
        {"a\"b c", {"a\"b", "c"}},
        {"\"open ", {"open "}},
        {"a\tb", {"a\tb"}},
    };
    for (const auto& c : cases) EXPECT_EQ(optstore::splitOptionString(c.text), c.words) << c.text;
}

TEST(OptionParser, OptionsFiles) {
    const std::string dir = testsupport::makeTempDir("bsl430-options-");
    ASSERT_FALSE(dir.empty());
    auto write = [&](const std::string& name, const std::string& content) {
        const std::string path = dir + "/" + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fputs(content.c_str(), file);
        std::fclose(file);
        return path;
    };
    // A chain of files, each naming the next; the last one sets -p to the chain's length.
    auto chain = [&](int length) {
        const std::string name = "chain" + std::to_string(length) + "-";
        for (int k = 1; k <= length; ++k) {
            const std::string next = dir + "/" + name + std::to_string(k + 1);
            write(name + std::to_string(k),
                  "-p " + std::to_string(k) + (k < length ? " -F " + next : ""));
        }
        return dir + "/" + name + "1";
    };
    const int deepest = optstore::maxNestingDepth;
    struct {
        std::vector<std::string> words;
        int result;
        std::string changes;
    } cases[] = {
        {{"-F", write("lines", "-p\n3\n")}, 0, "p=3"},
        {{"-F=" + write("spaced", "  -x\tvalue\r\n\n -s  "), "-p4"}, 0, "p=4 s=5 x=value"},
        {{"-F", write("empty", "")}, 0, ""},
        {{"-F", write("bad", "-x kept -p no -s"), "-p", "9"}, 1, "x=kept"},
        {{"-F", write("self", "-s -F " + dir + "/self")}, 1, "s=5"},
        {{"-F", chain(deepest)}, 0, "p=" + std::to_string(deepest)},
        {{"-F", chain(deepest + 1)}, 1, "p=" + std::to_string(deepest)},
    };
    for (const auto& c : cases) {
        t = Targets{};
        EXPECT_EQ(parse(c.words, table), c.result) << joined(c.words);
        EXPECT_EQ(changes(), c.changes) << joined(c.words);
    }
    std::filesystem::remove_all(dir);
}

#if !defined(__SANITIZE_ADDRESS__)
// Running out of memory ends the program with a message on standard output, not an uncaught
// exception. (The address sanitizer reports the huge request itself, so this runs without it.)
TEST(OptionParser, OutOfMemoryEndsTheProgramWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(fileno(stderr), fileno(stdout));
            optstore::keepString("x");
            volatile std::size_t huge = std::size_t{1} << 50;
            // Kept in a volatile pointer: a Release optimiser may drop an allocation nothing uses.
            char* volatile block = new char[huge];
            block[0] = 0;
            delete[] block;
        },
        testing::ExitedWithCode(1), "Error: out of memory!");
}
#endif

}  // namespace
