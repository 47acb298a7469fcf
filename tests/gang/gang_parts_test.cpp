// The gang's parts that a whole run does not pin down: the command line's refusals and port
// names, the image fingerprint, and records whose fields need quoting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gang/board.h"
#include "gang/board_record.h"
#include "gang/gang_options.h"
#include "gang/live_view.h"
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
        {{"--serial-at", "0x1000", "fw.hex", "sim"}, true},
        {{"--serial-at", "0x0FFF", "fw.hex", "sim"}, false},  // the peripherals' registers
        {{"--serial-at", "0x0200", "fw.hex", "sim"}, false},  // RAM
        {{"--serial-at", "0", "fw.hex", "sim"}, false},       // the special function registers
        {{"fw.hex", "COM99999999999999999999"}, false},
        {{"fw.hex", "COM0"}, false},
        {{"fw.hex", "COM1000000", "COM001000000"}, false},
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
    s.description = "a NAK, the flash may be worn";
    const std::string csv = gang::csvRecord(s);
    EXPECT_EQ(
        csv.rfind("\"sim:fault=nack:write:3,\"\"x\"\"\",failed,41,Chyba pri posilani dat,", 0), 0u)
        << csv;
    EXPECT_EQ(csv.substr(csv.size() - 35), ",2,\"a NAK, the flash may be worn\"\r\n");
    const std::string json = gang::jsonRecord(s);
    EXPECT_EQ(json.rfind("{\"port\":\"sim:fault=nack:write:3,\\\"x\\\"\",\"result\":\"failed\","
                         "\"error\":41,",
                         0),
              0u)
        << json;
    EXPECT_TRUE(gang::isCsvPath("RESULTS.CSV"));
    EXPECT_FALSE(gang::isCsvPath("results.csv.jsonl"));
}

// A name as the port's field of each format: UTF-8 kept whole in JSON, bytes that are not UTF-8
// made U+FFFD, and CSV cells a spreadsheet would run as formulas made plain text.
TEST(GangParts, RecordFieldsAreSafeForTheirReaders) {
    struct Case {
        std::string port;
        std::string json;  // the port field's value as written
        std::string csv;   // the first cell
    };
    const std::vector<Case> table = {
        {"/dev/serial/by-id/usb-Müller_\xE2\x82\xAC", "\"/dev/serial/by-id/usb-Müller_€\"",
         "/dev/serial/by-id/usb-Müller_€"},
        {"bad\xFFname\xC3", "\"bad\\ufffdname\\ufffd\"", "bad\xFFname\xC3"},
        {"over\xC0\xAFlong\xED\xA0\x80", "\"over\\ufffd\\ufffdlong\\ufffd\\ufffd\\ufffd\"",
         "over\xC0\xAFlong\xED\xA0\x80"},
        {"tab\there\x7F", "\"tab\\u0009here\\u007f\"", "tab\there\x7F"},
        {"=HYPERLINK(\"x\")", "\"=HYPERLINK(\\\"x\\\")\"", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "\"+1\"", "'+1"},
        {"-odd", "\"-odd\"", "'-odd"},
        {"@SUM(A1)", "\"@SUM(A1)\"", "'@SUM(A1)"},
    };
    for (const Case& c : table) {
        gang::BoardStatus s;
        s.port = c.port;
        const std::string json = gang::jsonRecord(s);
        EXPECT_EQ(json.substr(0, json.find(",\"result\"")), "{\"port\":" + c.json) << c.port;
        const std::string csv = gang::csvRecord(s);
        EXPECT_EQ(csv.substr(0, csv.find(",running,")), c.csv)
            << c.port;
    }
}

// Warnings drawn below the live table stay there through every redraw, and the summary counts the
// records that could not be written.
TEST(GangParts, LostRecordsStayInSight) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    gang::LiveTable table(out);
    std::vector<gang::BoardStatus> boards(2);
    boards[0].port = "COM5";
    boards[1].port = "COM6";
    const std::vector<std::string> warnings = {"bsl430-gang: COM5: cannot write r.csv: No space"};
    table.draw(boards, warnings);
    boards[0].outcome = boards[1].outcome = gang::Outcome::Ok;
    table.draw(boards, warnings);
    std::rewind(out);
    std::string drawn;
    for (int c; (c = std::fgetc(out)) != EOF;) drawn += static_cast<char>(c);
    std::fclose(out);
    // The second drawing goes up over the table and the warning, and draws the warning again.
    const std::size_t second = drawn.find("\x1b[4A");
    ASSERT_NE(second, std::string::npos) << drawn;
    EXPECT_NE(drawn.find(warnings[0], second), std::string::npos) << drawn;

    struct Case {
        std::size_t lost;
        const char* line;  // the summary's last line
    };
    for (const Case& c : {Case{0, "2 boards: 2 OK, 0 failed\n"},
                          Case{1, "1 record could not be written\n"},
                          Case{2, "2 records could not be written\n"}}) {
        const std::string text = gang::summary(boards, c.lost);
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), c.line) << text;
    }
}

}  // namespace
