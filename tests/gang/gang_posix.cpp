// The built bsl430-gang against simulated boards of every kind at once (sim devices, bsl430-sim
// pseudo-terminals, bsl430-sim network serial ports), some of them faulty; stopped by SIGINT in the
// middle of the download; and refusing what it cannot use before any port is opened.
#include <regex>
#include <string>
#include <vector>

#include "hardening/hardening_support.h"
#include "support/paths.h"

namespace {

using hardening::Child;
using hardening::ScratchDir;
using hardening::firmwareBelowVectors;
using hardening::readFile;
using hardening::SteadyClock;

// A bsl430-sim server (pseudo-terminal, or network when `network`); the port name, "" on failure.
std::string serve(Child& sim, bool network, const std::string& settings) {
    std::vector<std::string> argv = {testpaths::simServeExe()};
    if (network) argv.insert(argv.end(), {"--rfc2217", "0"});
    argv.push_back(settings);
    return sim.start(argv) ? sim.firstLine(10) : "";
}

// The final JSON Lines record of `port` (not its pending one): its result and error ("null" when
// none).
struct Record {
    std::string result = "missing";
    std::string error;
    std::string serial;
    std::string attempts;
};
Record recordOf(const std::string& records, const std::string& port) {
    std::smatch m;
    const std::regex line(
        "\\{\"port\":\"" + std::regex_replace(port, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&") +
        "\",\"result\":\"(ok|failed|stopped)\",\"error\":([0-9a-z]+),[^\n]*\"serial\":([0-9a-z]+)"
        "[^\n]*\"attempts\":([0-9]+)");
    Record r;
    if (std::regex_search(records, m, line)) {
        r.result = m[1];
        r.error = m[2];
        r.serial = m[3];
        r.attempts = m[4];
    }
    return r;
}

// What bsl430 itself ends with on a simulated board: "OK" or its error number.
std::string bsl430Result(const std::vector<std::string>& args) {
    Child tool;
    std::vector<std::string> argv = {testpaths::toolExe()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    if (!tool.start(argv) || tool.finish(60, output) != 0) return "did not end";
    std::smatch m;
    if (output.find("\nTest OK\n") != std::string::npos) return "OK";
    if (std::regex_search(output, m, std::regex("Chyba c\\. ([0-9]+):"))) return m[1];
    return "no result";
}

const char* kPatient = "frame-timeout=1s";

TEST(Gang, BoardsOfEveryKindWithFaultsEndAsBsl430Would) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(1024));
    const std::string loader =
        dir.write("loader.hex",
                  hardening::hexRecords(0x0220, {0x22, 0x02, 0x03, 0x43}) + hardening::hexEnd());
    struct Scenario {
        const char* kind;  // sim, pty or net
        std::string settings;
        const char* result;
        const char* error;
        const char* attempts;  // with --retries 1
        const char* alone;     // what bsl430 ends with on a new simulated chip of these settings
    };
    const std::vector<Scenario> table = {
        {"sim", "", "ok", "null", "1", "OK"},
        {"sim", "fault=silent", "failed", "1", "2", "1"},           // no answer at all
        {"sim", "fault=nack:password:1", "failed", "5", "2", "5"},  // a wrong password
        {"sim", "version=1.10", "ok", "null", "1", "OK"},           // needs the replacement loader
        {"sim", "fault=nack:write:3", "failed", "41", "2", "41"},   // a NAK on a write
        {"sim", "fault=mute-after:write:4", "failed", "41", "2", "41"},  // stops answering
        {"pty", "", "ok", "null", "1", "OK"},
        {"pty", "fault=silent", "failed", "1", "2", "1"},
        // A served chip keeps its fault counts across sessions: the retry gets no NAK.
        {"pty", "fault=nack:write:3", "ok", "null", "2", "41"},
        {"net", "", "ok", "null", "1", "OK"},
        {"net", "version=1.10", "ok", "null", "1", "OK"},
        {"net", "fault=nack:password:1+", "failed", "5", "2", "5"},
        {"net", "fault=mute-after:write:4", "ok", "null", "2", "41"},
    };
    std::vector<std::unique_ptr<Child>> servers;
    std::vector<std::string> ports;
    for (const Scenario& s : table) {
        const std::string settings =
            std::string(kPatient) + (s.settings.empty() ? "" : ",") + s.settings;
        if (std::string(s.kind) == "sim") {
            ports.push_back("sim:" + settings);
            continue;
        }
        servers.push_back(std::make_unique<Child>());
        ports.push_back(serve(*servers.back(), std::string(s.kind) == "net", settings));
        ASSERT_FALSE(ports.back().empty()) << s.kind << " " << s.settings;
    }

    Child gang;
    std::vector<std::string> argv = {
        testpaths::gangExe(),      "-v",    "-b", loader, "--retries", "1", "--serial", "100", "-r",
        dir.file("records.jsonl"), firmware};
    argv.insert(argv.end(), ports.begin(), ports.end());
    ASSERT_TRUE(gang.start(argv));
    std::string output;
    EXPECT_EQ(gang.finish(120, output), 1) << output;
    EXPECT_NE(output.find("13 boards: 7 OK, 6 failed\n"), std::string::npos) << output;

    const std::string records = readFile(dir.file("records.jsonl"));
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Record r = recordOf(records, ports[i]);
        EXPECT_EQ(r.result, table[i].result) << ports[i] << "\n" << records;
        EXPECT_EQ(r.error, table[i].error) << ports[i];
        EXPECT_EQ(r.attempts, table[i].attempts) << ports[i];
        EXPECT_EQ(r.serial, std::to_string(100 + i)) << ports[i];  // kept on a retry
        // The same fault on a board of bsl430's own ends with the same number.
        const std::string settings =
            std::string(kPatient) + (table[i].settings.empty() ? "" : ",") + table[i].settings;
        EXPECT_EQ(bsl430Result({"--device", "sim:" + settings, "-b", loader, "-v", "on", firmware}),
                  table[i].alone)
            << settings;
    }
}

TEST(Gang, StopInTheDownloadReleasesEveryPortAndRecordsEveryBoard) {
    if (testpaths::simServeExe().empty()) GTEST_SKIP() << "bsl430-sim is not built here";
    ScratchDir dir;
    const std::string slowFirmware = dir.write("big.hex", firmwareBelowVectors(8192));
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(256));
    Child pty1, pty2, net;
    std::vector<std::string> ports = {serve(pty1, false, kPatient), serve(pty2, false, kPatient),
                                      serve(net, true, kPatient), "sim", "sim"};
    for (const std::string& port : ports) ASSERT_FALSE(port.empty());

    Child gang;
    std::vector<std::string> argv = {testpaths::gangExe(),    "-q",        "--slow", "-r",
                                     dir.file("records.csv"), slowFirmware};
    argv.insert(argv.end(), ports.begin(), ports.end());
    ASSERT_TRUE(gang.start(argv));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // entry and erase are over
    kill(gang.pid(), SIGINT);
    const auto stopped = SteadyClock::now();
    std::string output;
    EXPECT_EQ(gang.finish(10, output), 1) << output;
    EXPECT_LT(hardening::secondsSince(stopped), 3.0);
    EXPECT_NE(output.find("5 boards: 0 OK, 0 failed, 5 stopped\n"), std::string::npos) << output;
    const std::string records = readFile(dir.file("records.csv"));
    EXPECT_EQ(records.rfind("port,result,error,", 0), 0u) << records;
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NE(records.find("\r\n" + ports[i] + ",stopped,"), std::string::npos) << records;

    // Every port was let go: a second gang opens all of them at once.
    Child again;
    argv = {testpaths::gangExe(), "-q", firmware};
    argv.insert(argv.end(), ports.begin(), ports.end());
    ASSERT_TRUE(again.start(argv));
    EXPECT_EQ(again.finish(60, output), 0) << output;
}

TEST(Gang, RefusesWhatItCannotUseBeforeAnyPortOpens) {
    ScratchDir dir;
    const std::string firmware = dir.write("fw.hex", firmwareBelowVectors(64));
    const std::string atSerial =
        dir.write("at1000.hex", hardening::hexRecords(0x1002, {0x55}) +
                                    hardening::hexRecords(0xF000, {1, 2}) + hardening::hexEnd());
    const std::string garbage = dir.write("garbage.txt", "twelve\n");
    const std::string port = "sim:trace=" + dir.file("opened");
    const std::vector<std::vector<std::string>> table = {
        {"--serial", "7", atSerial, port},                    // the firmware has data at the number
        {"--serial-file", garbage, firmware, port},           // the serial file holds no number
        {"--serial-file", dir.file("none"), firmware, port},  // missing, and no --serial
        {dir.file("missing.hex"), port},                      // no firmware
        {"--serial-at", "0xFFFE", "--serial", "1", firmware, port},
        {"--bogus", firmware, port},
    };
    for (const auto& args : table) {
        std::vector<std::string> argv = {testpaths::gangExe()};
        argv.insert(argv.end(), args.begin(), args.end());
        Child gang;
        ASSERT_TRUE(gang.start(argv));
        std::string output;
        EXPECT_EQ(gang.finish(10, output), 2) << args.front();
        EXPECT_FALSE(std::filesystem::exists(dir.file("opened"))) << args.front();
    }
}

}  // namespace
