// What a production line cannot live with, each shown gone: a port that will not open or a board
// that stalls tells why in its record, a closed terminal or a closed pipe loses no record and
// spends no number without one, a board that gets no thread fails alone, a record that does not
// fit leaves no half line, and one port is never taken for two.
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gang/durable_file.h"
#include "gang/gang_options.h"
#include "gang/serial_numbers.h"
#include "hardening/hardening_support.h"
#include "support/paths.h"

namespace {

using hardening::Child;
using hardening::ScratchDir;
using hardening::firmwareBelowVectors;
using hardening::readFile;
using hardening::SteadyClock;

// The JSON Lines records: port, result, serial, reason and slot, and the whole line, in the
// file's order; the pending ones only when asked for.
struct Record {
    std::string port, result, serial, reason, slot, line;
};
std::vector<Record> records(const std::string& path, bool withPending = false) {
    std::vector<Record> all;
    std::istringstream lines(readFile(path));
    const std::regex fields(
        "\\{\"port\":\"([^\"]*)\",\"result\":\"([a-z]+)\".*\"serial\":([0-9a-z]+).*"
        "\"reason\":(null|\"((?:[^\"\\\\]|\\\\.)*)\").*\"slot\":([0-9]+)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, fields) && (withPending || m[2] != "pending"))
            all.push_back({m[1], m[2], m[3], m[5], m[6], line});
    }
    return all;
}

// Runs the gang with `args` through the shell line `shell` ("$@" is the gang and its arguments);
// its exit code, -1 when it did not end within `seconds`.
int runThroughShell(const std::string& shell, const std::vector<std::string>& args,
                    double seconds, std::string& output) {
    std::vector<std::string> argv = {"/bin/sh", "-c", shell, "sh", testpaths::gangExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    Child child;
    if (!child.start(argv)) return -1;
    return child.finish(seconds, output);
}

TEST(GangLine, BoardsThatCannotFinishSayWhy) {
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(64));
    struct Case {
        std::string port;
        const char* reason;  // part of the record's reason
    };
    const std::vector<Case> table = {
        {"sim:fault=silent", "^timeout$"},  // stalls: no answer, retried until the limit
        {"sim:bogus", "bad sim setting 'bogus'"},
        {dir.file("ttyUSB9"), "No such file or directory"},
    };
    std::vector<std::string> args = {"-q", "--board-timeout", "2", "--retries", "50",
                                     "-r",  dir.file("r.jsonl"), firmware};
    for (const Case& c : table) args.push_back(c.port);
    const auto begin = SteadyClock::now();
    std::string output;
    EXPECT_EQ(runThroughShell("exec \"$@\"", args, 30, output), 1) << output;
    EXPECT_LT(hardening::secondsSince(begin), 6.0);
    const std::vector<Record> all = records(dir.file("r.jsonl"));
    ASSERT_EQ(all.size(), table.size()) << readFile(dir.file("r.jsonl"));
    std::map<std::string, Record> byPort;
    for (const Record& r : all) byPort[r.port] = r;
    for (const Case& c : table) {
        const Record& r = byPort[c.port];
        EXPECT_EQ(r.result, "failed") << c.port;
        EXPECT_TRUE(std::regex_search(r.reason, std::regex(c.reason))) << c.port << ": " << r.reason;
        EXPECT_NE(output.find(r.reason), std::string::npos) << output;  // the line says it too
    }
}

// A closed terminal (SIGHUP) stops the boards as Ctrl-C does; a closed pipe on standard output
// (SIGPIPE) does not end the run. Either way every number taken from the serial file is in a
// record, and the served boards' ports open again at once.
TEST(GangLine, ClosedTerminalOrPipeLosesNoRecord) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(8192));
    const std::string small = dir.write("small.hex", firmwareBelowVectors(64));
    Child served[2];
    std::vector<std::string> ports = {"sim", "sim"};
    for (Child& server : served) {
        ASSERT_TRUE(server.start({testpaths::simServeExe(), "frame-timeout=1s"}));
        ports.push_back(server.firstLine(10));
        ASSERT_FALSE(ports.back().empty());
    }
    struct Case {
        std::string how, shell;
        int exitCode;  // the gang's, as the shell's wait gives it; -1: the pipe's shell has none
        const char* result;
    };
    const std::vector<Case> table = {
        {"SIGHUP", "g=$1; shift; \"$g\" --slow \"$@\" & sleep 2; kill -HUP $!; wait $!", 1,
         "stopped"},
        {"SIGPIPE", "(\"$@\"; echo $? >&2) | true; sleep 0.2", -1, "ok"},
    };
    for (const Case& c : table) {
        const std::string serialFile = dir.file(c.how + ".next");
        const std::string results = dir.file(c.how + ".jsonl");
        std::string output;
        std::vector<std::string> args = {"-q", "--serial", "10", "--serial-file", serialFile,
                                         "-r", results,  firmware};
        args.insert(args.end(), ports.begin(), ports.end());
        const int code = runThroughShell(c.shell, args, 60, output);
        if (c.exitCode >= 0) {
            EXPECT_EQ(code, c.exitCode) << output;
        }
        // Each number was in a pending record, on the disk before the board's first byte, and is
        // in a final one.
        std::set<std::string> serials;
        std::multiset<std::string> pending;
        for (const Record& r : records(results, true)) {
            if (r.result == "pending") {
                pending.insert(r.serial);
                continue;
            }
            EXPECT_EQ(r.result, c.result) << c.how;
            serials.insert(r.serial);
        }
        EXPECT_EQ(serials, (std::set<std::string>{"10", "11", "12", "13"})) << c.how;
        EXPECT_EQ(pending, (std::multiset<std::string>{"10", "11", "12", "13"})) << c.how;
        EXPECT_EQ(readFile(serialFile), "14\n") << c.how;
        // Reset released and the ports let go: the next gang takes the served boards at once.
        const auto again = SteadyClock::now();
        EXPECT_EQ(runThroughShell("exec \"$@\"", {"-q", small, ports[2], ports[3]}, 30, output),
                  0)
            << c.how << ": " << output;
        EXPECT_LT(hardening::secondsSince(again), 10.0) << c.how;
    }
}

// Out of threads: the boards that got one are programmed, the others fail with the reason, and
// every number is in a record.
TEST(GangLine, BoardWithoutAThreadFailsAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory needs more address space than the limit leaves";
#endif
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(64));
    // Each thread's stack is as large as the stack limit; the address-space limit leaves room for
    // a few of them only.
    std::vector<std::string> args = {"-q", "--serial", "1", "-r", dir.file("r.jsonl"), firmware};
    for (int i = 0; i < 8; ++i) args.push_back("sim");
    std::string output;
    EXPECT_EQ(runThroughShell("ulimit -s 1048576 && ulimit -v 4194304 && exec \"$@\"", args, 60,
                              output),
              1)
        << output;
    std::set<std::string> serials;
    std::size_t ok = 0, unstarted = 0;
    for (const Record& r : records(dir.file("r.jsonl"))) {
        serials.insert(r.serial);
        if (r.result == "ok") ++ok;
        if (r.reason.find("cannot start the board's thread") != std::string::npos) ++unstarted;
    }
    EXPECT_EQ(serials.size(), 8u) << output;
    EXPECT_GT(ok, 0u) << output;
    EXPECT_GT(unstarted, 0u) << output;
    EXPECT_EQ(ok + unstarted, 8u) << output;
}

// A record that does not fit on the disk is taken out again: the next one starts on a line of its
// own. The file-size limit stands in for a full disk.
TEST(GangLine, FailedAppendLeavesNoHalfLine) {
    ScratchDir dir;
    const std::string path = dir.write("r.jsonl", "{\"first\":1}\n");
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20, 20};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        _exit(gang::appendLocked(path, "", "{\"second\":\"longer than the room left\"}\n", error)
                  ? 0
                  : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(readFile(path), "{\"first\":1}\n");
    std::string error;
    ASSERT_TRUE(gang::appendLocked(path, "", "{\"third\":3}\n", error)) << error;
    EXPECT_EQ(readFile(path), "{\"first\":1}\n{\"third\":3}\n");
}

bool parse(std::vector<std::string> words, gang::GangOptions& options, std::string& error) {
    words.insert(words.begin(), "bsl430-gang");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    return gang::parseGangOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

// One port reached by two names is caught when the command line is read, before a number is
// spent on a board that cannot open.
TEST(GangParts, OnePortByTwoNamesIsRefused) {
    hardening::ScratchDir dir;
    const std::string node = dir.write("ttyUSB0", "");
    std::filesystem::create_directory(dir.file("by-path"));
    std::filesystem::create_symlink(node, dir.file("by-path/usb-0:1.1"));
    std::filesystem::create_symlink("../ttyUSB0", dir.file("by-path/usb-0:1.2"));
    const std::string other = dir.write("ttyUSB1", "");
    struct Case {
        std::vector<std::string> ports;
        bool accepted;
    };
    const std::vector<Case> table = {
        {{node, dir.file("by-path/usb-0:1.1")}, false},
        {{dir.file("by-path/usb-0:1.1"), dir.file("by-path/usb-0:1.2")}, false},
        {{dir.file("by-path/../ttyUSB0"), node}, false},
        {{node, other, dir.file("missing")}, true},
    };
    for (const Case& c : table) {
        std::vector<std::string> words = {"fw.hex"};
        words.insert(words.end(), c.ports.begin(), c.ports.end());
        gang::GangOptions options;
        std::string error;
        EXPECT_EQ(parse(words, options, error), c.accepted) << c.ports.back() << " " << error;
        if (!c.accepted) {
            EXPECT_NE(error.find("same port as " + c.ports[0]), std::string::npos) << error;
        }
    }
}

// The serial file wins over --serial, and says so when they disagree.
TEST(GangParts, SerialFileWinsOverFirstAndSaysSo) {
    hardening::ScratchDir dir;
    struct Case {
        const char* content;  // nullptr: no file
        bool haveFirst;
        std::uint32_t firstOnBoard;
        bool noted;
    };
    const std::vector<Case> table = {
        {nullptr, true, 100, false},
        {"100\n", true, 100, false},
        {"250\n", true, 250, true},
        {"250\n", false, 250, false},
    };
    for (const Case& c : table) {
        const std::string path = dir.file("next");
        std::filesystem::remove(path);
        if (c.content != nullptr) dir.write("next", c.content);
        gang::GangOptions options;
        options.serialFile = path;
        options.haveFirstSerial = c.haveFirst;
        options.firstSerial = 100;
        std::vector<std::uint32_t> numbers;
        std::string error, note;
        ASSERT_TRUE(gang::takeSerialNumbers(options, 2, numbers, error, note)) << error;
        EXPECT_EQ(numbers, (std::vector<std::uint32_t>{c.firstOnBoard, c.firstOnBoard + 1}));
        EXPECT_EQ(!note.empty(), c.noted) << note;
    }
}

// The next panel in one key: each Enter programs the fixture again with the numbers going on, q
// ends; with --only-failed the next round programs only the slots that failed. Every record names
// the firmware, the tool, the station and the line's tags; the boards share the firmware's
// fingerprint and differ in the image's (their serial numbers).
TEST(GangLine, RepeatedRoundsNumberOnAndRetakeOnlyTheFailedSlots) {
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(64));
    struct Case {
        std::vector<std::string> options;
        const char* keys;  // what the operator types
        std::vector<std::string> ports;
        int exitCode;
        std::multiset<std::string> finals;  // slot:serial:result
        const char* lastSummary;
    };
    const std::regex sums("\"image_sha256\":\"([0-9a-f]{64})\".*\"firmware_sha256\":\"([0-9a-f]{64})\","
                          "\"firmware\":\"([^\"]+)\",\"tool_version\":\"[^\"]+\","
                          "\"station\":\"bench 3\",\"tags\":\\{\"lot\":\"A1\",\"operator\":\"eva\"\\}");
    const std::vector<Case> table = {
        {{}, "\\n\\nq\\n", {"sim", "sim"}, 0,
         {"1:1:ok", "2:2:ok", "1:3:ok", "2:4:ok", "1:5:ok", "2:6:ok"},
         "all 3 rounds: 6 boards: 6 OK, 0 failed\n"},
        {{"--only-failed"}, "\\nq\\n", {"sim", "sim:fault=nack:write:1"}, 1,
         {"1:1:ok", "2:2:failed", "2:3:failed"}, "all 2 rounds: 3 boards: 1 OK, 2 failed\n"},
        {{}, "", {"sim"}, 0, {"1:1:ok"}, "all 1 round: 1 board: 1 OK, 0 failed\n"},  // input ends
    };
    for (std::size_t n = 0; n < table.size(); ++n) {
        const Case& c = table[n];
        std::string name = "r";
        name += std::to_string(n);
        name += ".jsonl";
        const std::string results = dir.file(name);
        std::vector<std::string> args = {"-q",    "--repeat",     "--serial", "1", "--station",
                                         "bench 3", "--tag",      "lot=A1",   "--tag",
                                         "operator=eva", "-r",    results};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(firmware);
        args.insert(args.end(), c.ports.begin(), c.ports.end());
        std::string output;
        EXPECT_EQ(runThroughShell("printf '" + std::string(c.keys) + "' | \"$@\"", args, 60, output),
                  c.exitCode)
            << output;
        EXPECT_NE(output.find(c.lastSummary), std::string::npos) << output;
        std::multiset<std::string> finals;
        std::set<std::string> firmwareSums, imageSums;
        std::size_t ok = 0;
        for (const Record& r : records(results, true)) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(r.line, m, sums)) << r.line;
            EXPECT_EQ(m[3], firmware);
            if (r.result == "pending") continue;
            finals.insert(r.slot + ":" + r.serial + ":" + r.result);
            if (r.result != "ok") continue;
            ++ok;
            imageSums.insert(m[1]);
            firmwareSums.insert(m[2]);
        }
        EXPECT_EQ(finals, c.finals) << output;
        EXPECT_EQ(firmwareSums.size(), 1u);
        EXPECT_EQ(imageSums.size(), ok);
        EXPECT_EQ(firmwareSums.count(*imageSums.begin()), 0u);
    }
}

}  // namespace
