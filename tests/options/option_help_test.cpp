// The option listing: grouping of names, label forms, where the help text goes, and the current
// values filled into help texts.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "option_test_util.h"
#include "options/option_help.h"

namespace {

int number = 42, choice = 1, farChoice = 5;
float real = 1.5f;
const char *text = "file.hex", *noText = nullptr;
char macro[] = "-p 5";

OptionSpec row(std::int32_t type, const char* name, const char* label, void* target,
               const char* help) {
    return {type, name, label, target, 2.0f, help};
}

TEST(OptionHelp, Listing) {
    struct {
        std::vector<OptionSpec> rows;
        const char* expected;
    } cases[] = {
        // Where the help text goes: same line up to 7 characters of names, else the next line.
        {{row(OPT_SET, "-abcdef", nullptr, &number, "seven fit")}, "-abcdef\tseven fit\n"},
        {{row(OPT_SET, "-abcdefg", nullptr, &number, "eight do not")},
         "-abcdefg\n\teight do not\n"},
        {{row(OPT_SET, "-a", nullptr, &number, ""), row(OPT_STRING, "-b", "<f>", &text, ""),
          row(OPT_SET, "-hidden", nullptr, &number, nullptr),
          row(OPT_SET, "-c", nullptr, &number, "abc")},
         "-a, -b <f>, -c\n\tabc\n"},
        {{row(OPT_SET, nullptr, nullptr, &number, "note"),
          row(OPT_SET, "", "x", &number, "empty name")},
         "note\nempty name\n"},
        {{row(OPT_SET, "-a", nullptr, &number, ""),
          row(OPT_SET, nullptr, nullptr, &number, "after")},
         "-a\tafter\n"},
        {{row(OPT_SET, "-a", nullptr, &number, "A"), row(OPT_SET, "-b", nullptr, &number, "")},
         "-a\tA\n-b"},
        {{}, ""},
        // Label forms and the value each type fills into its help text.
        {{row(OPT_INT_OPTARG, "-i", "n", &number, "<%d>")}, "-i [n]\t<42>\n"},
        {{row(OPT_CHOICE_OPTARG, "-o", "off/on", &choice, "%s")}, "-o [off/on]\n\ton\n"},
        {{row(OPT_FLOAT_OPTARG, "-g", "x", &real, "%.2f")}, "-g [x]\t1.50\n"},
        {{row(OPT_INT, "-n", "<n>", &number, "%d%%")}, "-n <n>\t42%\n"},
        {{row(OPT_CHOICE, "-c", "off/on", &farChoice, "[%s]")}, "-c off/on\n\t[]\n"},
        {{row(OPT_FLOAT, "-f", "v", &real, "%g")}, "-f v\t1.5\n"},
        {{row(OPT_STRING, "-s", "f", &text, "%s")}, "-s f\tfile.hex\n"},
        {{row(OPT_STRING, "-s", "", &noText, "%s")}, "-s\t(none)\n"},
        {{row(OPT_STRING_LIST, "-l", "w", nullptr, "list")}, "-l w\tlist\n"},
        {{row(OPT_OPTIONS_FILE, "-F", "f", nullptr, "read")}, "-F f\tread\n"},
        {{row(OPT_MACRO, "-m", "ignored", macro, "is %s")}, "-m\tis -p 5\n"},
        {{row(OPT_MACRO_CHOICE, "-k", "a/b", nullptr, "pick")}, "-k a/b\tpick\n"},
        {{row(OPT_SET, "-z", "ignored", &number, "set")}, "-z\tset\n"},
        {{row(13, "-u", "ignored", &number, "unknown")}, "-u\tunknown\n"},
    };
    for (auto& c : cases) {
        c.rows.push_back({OPT_END, nullptr, nullptr, nullptr, 0.0f, nullptr});
        EXPECT_EQ(opttest::captureStdout([&] { printOptionHelp(c.rows.data()); }), c.expected);
    }
}

}  // namespace
