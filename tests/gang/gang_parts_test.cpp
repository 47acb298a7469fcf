// The gang's parts that a whole run does not pin down: the command line's refusals and port
// names, the image fingerprint, and records whose fields need quoting.
#include <gtest/gtest.h>

#include <algorithm>
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
        {{"--serial-at", "0x0FFF", "fw.hex", "sim"}, false},  // below the flash: registers, RAM
        {{"fw.hex", "COM99999999999999999999"}, false},
        {{"fw.hex", "COM0"}, false},
        {{"fw.hex", "COM1000000", "COM001000000"}, false},
        {{"--retries", "-1", "fw.hex", "sim"}, false},
        {{"--verify=on", "fw.hex", "sim"}, false},
        {{"-r"}, false},
        {{"fw.hex"}, false},
        {{"--", "-odd.hex", "sim"}, true},
        {{"--only-failed", "fw.hex", "sim"}, false},  // only with --repeat
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
    EXPECT_NE(csv.find(",2,\"a NAK, the flash may be worn\","), std::string::npos) << csv;
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
        EXPECT_EQ(csv.substr(0, csv.find(",pending,")), c.csv) << c.port;
    }
}

// What the live table draws on a terminal of `rows` x `columns` (0: the table's default).
std::string drawn(const std::vector<std::vector<gang::BoardStatus>>& frames,
                  const std::vector<std::string>& warnings, int rows = 0, int columns = 0) {
    std::FILE* out = std::tmpfile();
    if (out == nullptr) return "no temporary file";
    {
        gang::LiveTable table(out);
        if (rows > 0) table.setSize(rows, columns);
        for (const auto& boards : frames) table.draw(boards, warnings);
    }
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    return text;
}

// Warnings drawn below the live table stay there through every redraw, and the summary counts the
// records that could not be written.
TEST(GangParts, LostRecordsStayInSight) {
    std::vector<gang::BoardStatus> boards(2);
    boards[0].port = "COM5";
    boards[1].port = "COM6";
    const std::vector<gang::BoardStatus> running = boards;
    boards[0].outcome = boards[1].outcome = gang::Outcome::Ok;
    const std::string warning = "bsl430-gang: COM5: cannot write r.csv: No space";
    const std::string text = drawn({running, boards}, {warning});
    // The second drawing goes up over the table and the warning, and draws the warning again.
    const std::size_t second = text.find("\x1b[4A");
    ASSERT_NE(second, std::string::npos) << text;
    EXPECT_NE(text.find(warning, second), std::string::npos) << text;

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
    boards[1].outcome = gang::Outcome::Locked;
    boards[1].description = "another firmware";
    boards[0].outcome = gang::Outcome::Match;
    EXPECT_EQ(gang::summary(boards, 0, true),
              "2 boards: 1 match, 0 differ, 1 locked, 0 refused, 0 failed\n"
              "  COM6: locked: another firmware\n");
}

// Who wrote what, in CSV (the JSON form is read back from a whole run): the station and the line's
// tags, as many cells as the header has; a check that found other bytes says why and where.
TEST(GangParts, CsvRecordsSayWhoWroteWhat) {
    gang::BoardStatus s;
    s.port = "COM5";
    s.station = "line-2";
    s.tags = {{"operator", "Jiří"}, {"lot", "=7"}};
    s.outcome = gang::Outcome::Differs;
    s.description = "at 0xF123 the board holds 0x12 where the firmware has 0x34";
    s.haveDiffersAt = true;
    s.differsAt = 0xF123;
    const std::string csv = gang::csvRecord(s);
    EXPECT_EQ(csv.rfind("COM5,differs,,,", 0), 0u) << csv;
    EXPECT_NE(csv.find(",at 0xF123 the board holds 0x12 where the firmware has 0x34,"), std::string::npos);
    EXPECT_NE(csv.find(",line-2,operator=Jiří;lot==7,0,0xF123\r\n"), std::string::npos) << csv;
    const std::string header = gang::csvHeader();
    EXPECT_EQ(std::count(csv.begin(), csv.end(), ','), std::count(header.begin(), header.end(), ','));
}

// The table's port column shows what tells the ports apart.
TEST(GangParts, PortLabelsTellThePortsApart) {
    const std::string byPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1.";
    struct Case {
        std::vector<std::string> ports;
        std::vector<std::string> labels;
    };
    const std::vector<Case> table = {
        {{"COM5", "COM6", "sim"}, {"COM5", "COM6", "sim"}},
        {{byPath + "1:1.0-port0", byPath + "2:1.0-port0", byPath + "3:1.0-port0"},
         {"0:1.1", "0:1.2", "0:1.3"}},
        {{byPath + "1:1.0-port0", "/dev/ttyUSB7"},
         {"~4.0-usb-0:1.1:1.0-port0", "ttyUSB7"}},
        {{"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0",
          "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C4-if00-port0"},
         {"~_FT232R_USB_UART_A1B2C3", "~_FT232R_USB_UART_A1B2C4"}},
    };
    for (const Case& c : table) EXPECT_EQ(gang::portLabels(c.ports), c.labels) << c.ports[0];
}

// More boards than the terminal has rows: a compact grid of slots that fits one screen, and no
// line wider than the terminal, so that the redraw never scrolls copies of the table.
TEST(GangParts, ManyBoardsStayOnOneScreen) {
    std::vector<gang::BoardStatus> boards(40);
    for (std::size_t i = 0; i < boards.size(); ++i) {
        boards[i].slot = static_cast<int>(i) + 1;
        boards[i].port = "/dev/ttyUSB" + std::to_string(i);
    }
    boards[3].outcome = gang::Outcome::Failed;
    boards[3].error = 41;
    struct Case {
        int rows, columns;
    };
    for (const Case& c : {Case{24, 80}, Case{10, 40}, Case{60, 132}}) {
        const std::string text = drawn({boards}, {"bsl430-gang: a warning"}, c.rows, c.columns);
        std::size_t lines = 0, start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1, ++lines)
            EXPECT_LT(end - start - 5, static_cast<std::size_t>(c.columns)) << c.columns;  // "\r\x1b[2K"
        EXPECT_LT(lines, static_cast<std::size_t>(c.rows)) << c.rows;
        if (c.columns >= 80) {
            EXPECT_NE(text.find("failed 41"), std::string::npos) << text;
        }
        EXPECT_NE(text.find("a warning"), std::string::npos) << text;
    }
}

}  // namespace
