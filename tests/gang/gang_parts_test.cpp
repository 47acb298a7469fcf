// The gang's parts that a whole run does not pin down: the command line's refusals and port
// names, the image fingerprint, and records whose fields need quoting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gang/board.h"
#include "gang/board_record.h"
#include "gang/gang_options.h"
#include "gang/serial_numbers.h"
#include "gang/sha256.h"
#include "hardening/hardening_support.h"

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

}  // namespace
