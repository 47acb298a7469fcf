// This program's command line: what each command line leaves in the settings, and the listing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "option_test_util.h"
#include "options/option_help.h"
#include "options/program_options.h"

namespace {

// The settings that differ from their defaults, as "name=value" words.
std::string changes() {
    const Settings d;
    std::string out;
    auto add = [&](const char* name, const std::string& value) {
        if (!out.empty()) out += ' ';
        out.append(name).append("=").append(value);
    };
    auto same = [](const char* a, const char* b) { return a && b ? std::string(a) == b : a == b; };
    const Settings& s = settings;
    if (s.helpRequested != d.helpRequested) add("help", std::to_string(s.helpRequested));
    if (s.runTerminal != d.runTerminal) add("term", std::to_string(s.runTerminal));
    if (s.portNumber != d.portNumber) add("port", std::to_string(s.portNumber));
    if (!same(s.bslFileName, d.bslFileName)) add("bsl", s.bslFileName ? s.bslFileName : "null");
    if (s.verifyMode != d.verifyMode) add("verify", std::to_string(s.verifyMode));
    if (s.verbose != d.verbose) add("verbose", std::to_string(s.verbose));
    if (s.fastSpeed != d.fastSpeed) add("fast", std::to_string(s.fastSpeed));
    if (s.testMode != d.testMode) add("test", std::to_string(s.testMode));
    if (s.terminalBaud != d.terminalBaud) add("baud", std::to_string(s.terminalBaud));
    if (s.firmwareFileName) add("fw", s.firmwareFileName);
    if (s.deviceName) add("device", s.deviceName);
    return out;
}

int parseProgram(const std::vector<std::string>& words) {
    resetSettings();
    return opttest::parse(words, programOptions, programOptionSeparators);
}

TEST(ProgramOptions, CommandLines) {
    struct {
        std::vector<std::string> words;
        int result;
        const char* changes;
    } cases[] = {
        {{"fw.hex"}, 0, "fw=fw.hex"},
        {{"a.hex", "b.hex"}, 0, "fw=b.hex"},
        {{"-p", "3", "-v", "on", "-t", "fw.hex"}, 0, "term=1 port=3 verify=1 fw=fw.hex"},
        {{"--port=2", "--bsl=loader.hex", "--term-baud", "9600", "fw.hex"},
         0,
         "port=2 bsl=loader.hex baud=9600 fw=fw.hex"},
        {{"-p2"}, 0, "port=2"},
        {{"-b", "x.hex", "--verify", "1"}, 0, "bsl=x.hex verify=1"},
        {{"-tb", "57600", "-t"}, 0, "term=1 baud=57600"},
        {{"-x"}, 0, "help=1"},
        {{"-port"}, 0, "help=1"},
        {{"-?", "fw.hex"}, 0, "help=1 fw=fw.hex"},
        {{"-p"}, 1, ""},
        {{"-p", "com3"}, 1, ""},
        {{"-v", "maybe"}, 1, ""},
        {{"fw.hex", "--bsl"}, 1, "fw=fw.hex"},
        {{"--TEST", "1.hex"}, 0, "test=1"},
        {{"-t", "0", "fw.hex"}, 0, "fw=fw.hex"},
        {{"--slow"}, 0, "fast=0"},
        {{"--slow", "1"}, 0, ""},
        {{"--verbose", "=fw"}, 0, "verbose=1 fw=fw"},
        {{"--device", "sim:fast", "fw.hex"}, 0, "fw=fw.hex device=sim:fast"},
        {{"--devices"}, 0, "help=1"},
        {{"--device"}, 1, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseProgram(c.words), c.result) << opttest::joined(c.words);
        EXPECT_EQ(changes(), c.changes) << opttest::joined(c.words);
    }
    resetSettings();
}

const std::string defaultListing =
    "-?, --help\n\tprint this help\n"
    "-t, --terminal\n\trun terminal after programming\n"
    "-p, --port <port number>\n\tset COM port number; default COM1\n"
    "-b, --bsl <BSL filename>\n\tset BSL upgrade filename; default BL_150S_14x.hex\n"
    "-v off/on, --verify off/on\n\tenable/disable verify; default off\n"
    "--verbose\n\tshow more detailed log\n"
    "-tb, --term-baud <baudrate>\n\tset terminal baudrate; default 115200Bd\n";

// The listing shows the values parsed so far in place of the defaults; hidden rows stay hidden.
TEST(ProgramOptions, Listing) {
    struct {
        std::vector<std::string> words;
        std::vector<std::pair<std::string, std::string>> edits;
    } cases[] = {
        {{}, {}},
        {{"-p", "4", "-?"}, {{"COM1", "COM4"}}},
        {{"-v", "on", "-b", "my.hex", "-tb", "9600", "--device", "sim", "--slow"},
         {{"default off", "default on"}, {"BL_150S_14x.hex", "my.hex"}, {"115200Bd", "9600Bd"}}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(parseProgram(c.words), 0);
        std::string expected = defaultListing;
        for (const auto& [from, to] : c.edits)
            expected.replace(expected.find(from), from.size(), to);
        EXPECT_EQ(opttest::captureStdout([] { printOptionHelp(programOptions); }), expected)
            << opttest::joined(c.words);
    }
    resetSettings();
}

}  // namespace
