// bsl430-gang --check against boards a gang has programmed (bsl430-sim pseudo-terminals keep their
// flash between sessions): the right firmware matches and its serial number is read, another
// firmware differs at its first other byte or, with other vectors, leaves the loader locked, and
// loaders that erase on a wrong password are never sent one. The chips' traces show that the
// check erased and wrote nothing.
#include <regex>
#include <string>
#include <vector>

#include "hardening/hardening_support.h"
#include "support/paths.h"

namespace {

using hardening::Child;
using hardening::firmwareBelowVectors;
using hardening::readFile;
using hardening::ScratchDir;

// The field `name` of `port`'s record, as JSON has it ("missing" without a record).
std::string field(const std::string& records, const std::string& port, const std::string& name) {
    for (std::size_t at = 0; at < records.size();) {
        std::size_t end = records.find('\n', at);
        if (end == std::string::npos) end = records.size();
        const std::string line = records.substr(at, end - at);
        at = end + 1;
        if (line.rfind("{\"port\":\"" + port + "\"", 0) != 0) continue;
        std::smatch m;
        if (std::regex_search(line, m, std::regex("\"" + name + "\":(\"[^\"]*\"|[0-9a-z]+)")))
            return m[1];
    }
    return "missing";
}

TEST(GangCheck, ProgrammedBoardsMatchOthersDifferOrStayLockedAndNothingIsWritten) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(512));
    const std::string loader =
        dir.write("loader.hex",
                  hardening::hexRecords(0x0220, {0x22, 0x02, 0x03, 0x43}) + hardening::hexEnd());
    struct Board {
        const char* settings;
        std::string programmed;  // the firmware a gang wrote, with the serial number
        const char* result;
        const char* serial;
        const char* differsAt;
        const char* version;
    };
    const std::vector<Board> boards = {
        {"", firmware, "match", "100", "null", "1.61"},
        {"version=1.10", firmware, "match", "101", "null", "1.10"},  // older than 1.50: no version
                                                                     // before the password
        {"", dir.write("other.hex", firmwareBelowVectors(512, 0xF000, 0xFE23)), "differs", "102",
         "0xFE23", "1.61"},
        {"", dir.write("foreign.hex", firmwareBelowVectors(512, 0xF002)), "locked", "null", "null",
         "1.61"},  // another reset vector: another password
        {"version=2.02", firmware, "refused", "null", "null", "2.02"},
    };
    std::vector<std::unique_ptr<Child>> servers;
    std::vector<std::string> ports;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        servers.push_back(std::make_unique<Child>());
        const std::string settings = "frame-timeout=1s,trace=" + dir.file(std::to_string(i)) +
                                     (*boards[i].settings ? "," : "") + boards[i].settings;
        ASSERT_TRUE(servers.back()->start({testpaths::simServeExe(), settings}));
        ports.push_back(servers.back()->firstLine(10));
        ASSERT_FALSE(ports.back().empty());
        Child gang;
        std::string output;
        ASSERT_TRUE(gang.start({testpaths::gangExe(), "-q", "-b", loader, "--serial",
                                std::to_string(100 + i), boards[i].programmed, ports.back()}));
        ASSERT_EQ(gang.finish(60, output), 0) << output;
    }
    std::vector<std::size_t> traced;
    for (std::size_t i = 0; i < boards.size(); ++i)
        traced.push_back(readFile(dir.file(std::to_string(i))).size());

    Child check;
    std::vector<std::string> argv = {testpaths::gangExe(),    "-q",    "--check", "-r",
                                     dir.file("check.jsonl"), firmware};
    argv.insert(argv.end(), ports.begin(), ports.end());
    argv.insert(argv.end(), {"sim:chip=F5529", "sim:fault=silent"});
    ASSERT_TRUE(check.start(argv));
    std::string output;
    EXPECT_EQ(check.finish(120, output), 1) << output;
    EXPECT_NE(output.find("7 boards: 2 match, 1 differ, 1 locked, 2 refused, 1 failed\n"),
              std::string::npos)
        << output;

    const std::string records = readFile(dir.file("check.jsonl"));
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const Board& b = boards[i];
        EXPECT_EQ(field(records, ports[i], "result"), std::string("\"") + b.result + "\"")
            << i << "\n"
            << records;
        EXPECT_EQ(field(records, ports[i], "serial"), b.serial) << i;
        EXPECT_EQ(field(records, ports[i], "differs_at"),
                  *b.differsAt == '0' ? std::string("\"") + b.differsAt + "\"" : b.differsAt)
            << i;
        EXPECT_EQ(field(records, ports[i], "bsl_version"), std::string("\"") + b.version + "\"")
            << i;
        // What the chip heard during the check: no erase, no write, and no password at all for
        // a loader that would erase on a wrong one.
        const std::string heard = readFile(dir.file(std::to_string(i))).substr(traced[i]);
        EXPECT_NE(heard.find("target  TX BSL version"), std::string::npos) << i;
        for (const char* never : {"target  Mass erase", "target  RX data block", "flash erased"})
            EXPECT_EQ(heard.find(never), std::string::npos) << i << " " << never;
        EXPECT_EQ(heard.find("target  RX password") == std::string::npos,
                  std::string(b.result) == "refused")
            << i;
    }
    EXPECT_EQ(field(records, "sim:chip=F5529", "result"), "\"refused\"");
    EXPECT_EQ(field(records, "sim:fault=silent", "error"), "7");
    // The gang that programmed gives out no number for a check: no pending records.
    EXPECT_EQ(records.find("\"pending\""), std::string::npos);
}

}  // namespace
