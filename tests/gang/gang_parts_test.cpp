// The gang's parts that a whole run does not pin down: the command line's refusals and port
// names, the image fingerprint, and records whose fields need quoting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gang/board.h"
#include "gang/board_record.h"
#include "gang/gang_options.h"
#include "gang/sha256.h"

namespace {

bool parse(std::vector<std::string> words, gang::GangOptions& options, std::string& error) {
    words.insert(words.begin(), "bsl430-gang");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    return gang::parseGangOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(GangParts, CommandLine) {
    struct Case {
        std::vector<std::string> words;
        bool accepted;
    };
    const std::vector<Case> table = {
        {{"fw.hex", "sim", "sim", "sim:version=1.10", "sim:version=1.10"}, true},
        {{"fw.hex", "COM5", "\\\\.\\com5"}, false},
        {{"fw.hex", "COM5", "COM05"}, false},
        {{"fw.hex", "rfc2217://h:1", "rfc2217://h:2"}, true},
        {{"--serial", "4294967295", "fw.hex", "sim"}, true},
        {{"--serial", "4294967296", "fw.hex", "sim"}, false},
        {{"--serial=0x10", "--serial-at=0xFFFC", "fw.hex", "sim"}, true},
        {{"--serial-at", "0xFFFD", "fw.hex", "sim"}, false},
        {{"--retries", "-1", "fw.hex", "sim"}, false},
        {{"--verify=on", "fw.hex", "sim"}, false},
        {{"-r"}, false},
        {{"fw.hex"}, false},
        {{"--", "-odd.hex", "sim"}, true},
    };
    for (const Case& c : table) {
        gang::GangOptions options;
        std::string error;
        EXPECT_EQ(parse(c.words, options, error), c.accepted) << c.words.front() << " " << error;
    }
    gang::GangOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--serial=0x10", "-v", "fw.hex", "COM12", "sim"}, options, error));
    EXPECT_EQ(options.firstSerial, 16u);
    EXPECT_TRUE(options.verify);
    EXPECT_EQ(options.ports, (std::vector<std::string>{"COM12", "sim"}));
    EXPECT_EQ(gang::openName("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(gang::openName("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(GangParts, Sha256OfKnownTexts) {
    const std::string abc = "abc";
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(gang::sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(
        gang::sha256Hex(reinterpret_cast<const std::uint8_t*>(twoBlocks.data()), twoBlocks.size()),
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(GangParts, RecordsQuoteWhatTheirFormatNeeds) {
    gang::BoardStatus s;
    s.port = "sim:fault=nack:write:3,\"x\"";
    s.outcome = gang::Outcome::Failed;
    s.error = 41;
    s.message = "Chyba pri posilani dat";
    s.attempts = 2;
    const std::string csv = gang::csvRecord(s);
    EXPECT_EQ(
        csv.rfind("\"sim:fault=nack:write:3,\"\"x\"\"\",failed,41,Chyba pri posilani dat,", 0), 0u)
        << csv;
    EXPECT_EQ(csv.substr(csv.size() - 4), ",2\r\n");
    const std::string json = gang::jsonRecord(s);
    EXPECT_EQ(json.rfind("{\"port\":\"sim:fault=nack:write:3,\\\"x\\\"\",\"result\":\"failed\","
                         "\"error\":41,",
                         0),
              0u)
        << json;
    EXPECT_TRUE(gang::isCsvPath("RESULTS.CSV"));
    EXPECT_FALSE(gang::isCsvPath("results.csv.jsonl"));
}

}  // namespace
