// Whole programming runs in this process against the simulated target: standard output byte for
// byte, the exit code, the line calls, and what the target ends up holding.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "kit/test_port.h"
#include "platform/device.h"
#include "platform/kernel32.h"
#include "platform/program_location.h"
#include "run_harness.h"
#include "sim/sim_target.h"

using harness::errorBox;
using harness::Harness;
using harness::RunResult;

namespace {

// A small firmware: 16 bytes at 0xF000 and its reset vector.
const std::vector<std::uint8_t> kFirmware = {0x31, 0x40, 0x00, 0x0A, 0xB2, 0x40, 0x80, 0x5A,
                                             0x20, 0x01, 0xD2, 0xD3, 0x22, 0x00, 0xFF, 0x3F};
// A stand-in replacement loader in RAM: its entry address as the word at 0x0220, then code.
const std::vector<std::uint8_t> kLoader = {0x22, 0x02, 0xB2, 0x40, 0x80, 0x5A, 0x20, 0x01,
                                           0x31, 0x40, 0x00, 0x0A, 0xFF, 0x3F, 0x03, 0x43};

const std::string kHead =
    "#Programovani SW pres BSL\n#inicializace komunikace...\n#mazani procesoru...\n";
const std::string kUpgrade = "#dalsi mazani procesoru...\n";
const std::string kLoaderStep = "#programovani funkcniho bootloaderu...\n";
const std::string kFast = "#Fast speed...\n";
const std::string kFirmwareStep = "#programovani noveho SW...\n";
const std::string kEnd = "#konec programovani...\n";
const std::string kOk = "\nTest OK\n\n";
const std::string kNoSync = "#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n";
const std::string kNack = "#Unknown ACK! (A0)\n";
const std::string kTimedOut = "#Unknown ACK! (FF)\n";

std::string identification(const char* version) {
    return std::string("#CHIP type: F149\n#BSL ver: ") + version + "\n";
}
std::string loading(const std::string& path) { return "#Nahravam soubor IntelHEX: " + path + "\n"; }

// The separator the program looks for in its own path when it seeks the loader beside itself.
#ifdef _WIN32
const std::string kSeparator = "\\";
#else
const std::string kSeparator = "/";
#endif

// The lines of a replacement loader looked for in vain beside the program started as
// `argument0`, and in the installation's data directory.
std::string notBesideProgram(const char* argument0, const std::string& name) {
    const std::string directory = platform::programDirectory(argument0);
    return directory.empty() ? "" : "#Can't open file " + directory + name + "!\n";
}
std::string notInstalled(const std::string& name) {
    const std::string directory = platform::installedDataDirectory();
    return directory.empty() ? "" : "#Can't open file " + directory + name + "!\n";
}

constexpr const char* kSyncMessage = "chybna odpoved BSL na SYNC";
constexpr const char* kPacketMessage = "chybna odpoved BSL na paket";
constexpr const char* kReturnedMessage = "chybny vraceny paket";

// The line calls the driver makes before the run (reset held, TEST at its pulse state), the entry
// sequence, and the hold and release of reset at the end; with the TEST sense inverted the RTS
// codes swap.
std::vector<std::uint64_t> expectedLineCalls(bool testMode, bool ran, bool succeeded) {
    const std::uint64_t pulse = testMode ? k32::CLRRTS : k32::SETRTS;
    const std::uint64_t rest = testMode ? k32::SETRTS : k32::CLRRTS;
    std::vector<std::uint64_t> calls = {k32::SETDTR, pulse, k32::SETDTR};
    if (ran) {
        std::vector<std::uint64_t> entry = {rest,        k32::SETDTR, k32::SETDTR, pulse,
                                            k32::SETDTR, rest,        k32::SETDTR, pulse,
                                            k32::SETDTR, k32::CLRDTR, rest,        k32::CLRDTR};
        calls.insert(calls.end(), entry.begin(), entry.end());
    }
    if (succeeded) calls.push_back(k32::SETDTR);
    calls.push_back(k32::CLRDTR);
    return calls;
}

bool contains(const std::vector<std::uint8_t>& haystack, const std::vector<std::uint8_t>& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

class ProgrammingRun : public testing::Test {
protected:
    void SetUp() override {
        dir = harness::makeTempDir();
        ASSERT_FALSE(dir.empty());
        firmware = dir + "/fw.hex";
        loader = dir + "/loader.hex";
        harness::writeFile(firmware, harness::hexRecords(0xF000, kFirmware) +
                                         harness::hexRecords(0xFFFE, {0x00, 0xF0}) +
                                         harness::hexEnd());
        harness::writeFile(loader, harness::hexRecords(0x0220, kLoader) + harness::hexEnd());
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    // The checks every run that reached the port shares: exit code 0, the reset line released
    // and the port closed as the last two calls.
    void expectClosedAndReleased(const RunResult& run) {
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(std::regex_match(
            run.banner,
            std::regex(
                R"(BootStrap loader for MSP430 v0\.5 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\)\n)")))
            << run.banner;
        const auto& calls = h.log.calls;
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ(calls[calls.size() - 2].name, "EscapeCommFunction");
        EXPECT_EQ(calls[calls.size() - 2].args, std::vector<std::uint64_t>{k32::CLRDTR});
        EXPECT_EQ(calls.back().name, "CloseHandle");
        EXPECT_EQ(calls.back().result, 1u);
        ASSERT_NE(run.target, nullptr);
        EXPECT_FALSE(run.target->inReset());
    }

    Harness h;
    std::string dir, firmware, loader;
};

TEST_F(ProgrammingRun, TypicalRunWithVerify) {
    RunResult run = h.run({"bsl430", "--device", "sim", "-v", "on", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.61") + kFast + kFirmwareStep +
                              loading(firmware) + ">F000\r>FFFE\r>F000\r>FFFE\r" + kEnd + kOk);
    expectClosedAndReleased(run);
    EXPECT_EQ(h.lineCalls(), expectedLineCalls(false, true, true));

    // Opened exclusively, read/write, existing, synchronous; the title names the device.
    auto opens = h.log.named("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text, "sim");
    EXPECT_EQ(opens[0].args, (std::vector<std::uint64_t>{0xC0000000u, 0, 3, 0}));
    auto titles = h.log.named("SetConsoleTitleA");
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0].text, "BSL for MSP-430 v0.5 @ sim");

    // The firmware is in flash, the rest of main flash erased; the link ended at 38400 Bd.
    EXPECT_EQ(run.target->peek(0xF000, kFirmware.size()), kFirmware);
    EXPECT_EQ(run.target->peek(0xFFFE, 2), (std::vector<std::uint8_t>{0x00, 0xF0}));
    EXPECT_EQ(run.target->peek(0xE000, 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(run.target->commandCount(sim::kCmdMassErase), 1u);
    EXPECT_EQ(run.target->commandCount(sim::kCmdTxDataBlock), 3u);  // identification + 2 blocks
    EXPECT_EQ(run.target->format().baud, 38400u);
    EXPECT_TRUE(contains(run.target->hostBytes(),
                         {0x80, 0x20, 0x04, 0x04, 0xE0, 0x87, 0x02, 0x00, 0x99, 0x5C}));

    // The speed switch: GetCommState, then SetCommState at 38400 with DTR and RTS control off and
    // the line format kept, and no purge before the firmware's first byte.
    auto states = h.log.named("SetCommState");
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back().args, (std::vector<std::uint64_t>{38400, 8, 2, 0, 1, 0, 0}));
    std::size_t fastAt = 0;
    for (std::size_t i = 0; i < h.log.calls.size(); ++i)
        if (h.log.calls[i].name == "SetCommState" && h.log.calls[i].args.at(0) == 38400) fastAt = i;
    ASSERT_GT(fastAt, 0u);
    EXPECT_EQ(h.log.calls[fastAt - 1].name, "GetCommState");
    for (std::size_t i = fastAt; i < h.log.calls.size(); ++i)
        EXPECT_NE(h.log.calls[i].name, "PurgeComm") << i;

    // The target is held in reset for 50 ms after the last block before the driver releases it.
    auto escapes = h.log.named("EscapeCommFunction");
    ASSERT_GE(escapes.size(), 2u);
    EXPECT_GE(escapes.back().timeNs - escapes[escapes.size() - 2].timeNs, 50 * platform::kNsPerMs);
}

TEST_F(ProgrammingRun, NamedComPortOpensInDeviceNamespace) {
    // "-p 3" opens \\.\COM3 and names COM3 in the title; here the simulated chip answers there.
    auto target = std::make_shared<sim::SimTarget>();
    int opener = platform::serveTestPort("\\\\.\\COM3", target);
    RunResult run = h.run({"bsl430", "-p", "3", firmware});
    platform::removeDeviceOpener(opener);
    EXPECT_EQ(run.output, kHead + identification("01.61") + kFast + kFirmwareStep +
                              loading(firmware) + ">F000\r>FFFE\r" + kEnd + kOk);
    ASSERT_EQ(h.log.named("CreateFileA").size(), 1u);
    EXPECT_EQ(h.log.named("CreateFileA")[0].text, "\\\\.\\COM3");
    EXPECT_EQ(h.log.named("SetConsoleTitleA")[0].text, "BSL for MSP-430 v0.5 @ COM3");
    EXPECT_EQ(target->peek(0xF000, kFirmware.size()), kFirmware);
    EXPECT_FALSE(target->inReset());
}

TEST_F(ProgrammingRun, LongDeviceNameCutInTitleOnly) {
    // The title is formatted into the loader's reply buffer, which it must not overrun.
    std::string name = "/dev/serial/by-path/" + std::string(300, 'x');
    auto target = std::make_shared<sim::SimTarget>();
    int opener = platform::serveTestPort(name, target);
    RunResult run = h.run({"bsl430", "--device", name, firmware});
    platform::removeDeviceOpener(opener);
    EXPECT_EQ(run.output.substr(run.output.size() - kOk.size()), kOk);
    ASSERT_EQ(h.log.named("SetConsoleTitleA").size(), 1u);
    EXPECT_EQ(h.log.named("SetConsoleTitleA")[0].text,
              ("BSL for MSP-430 v0.5 @ " + name).substr(0, 255));
}

TEST_F(ProgrammingRun, SlowStaysAt9600) {
    RunResult run = h.run({"bsl430", "--device", "sim", "--slow", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.61") + kFirmwareStep + loading(firmware) +
                              ">F000\r>FFFE\r" + kEnd + kOk);
    expectClosedAndReleased(run);
    EXPECT_EQ(run.target->commandCount(sim::kCmdChangeBaud), 0u);
    EXPECT_EQ(run.target->commandCount(sim::kCmdTxDataBlock), 1u);  // verify is off
    for (const auto& call : h.log.named("SetCommState")) EXPECT_EQ(call.args.at(0), 9600u);
    EXPECT_EQ(run.target->peek(0xF000, kFirmware.size()), kFirmware);
}

TEST_F(ProgrammingRun, TestModeInvertsRtsAndSelectsOtherClock) {
    RunResult run = h.run({"bsl430", "--device", "sim:invert-test", "--TEST", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.61") + kFast + kFirmwareStep +
                              loading(firmware) + ">F000\r>FFFE\r" + kEnd + kOk);
    expectClosedAndReleased(run);
    EXPECT_EQ(h.lineCalls(), expectedLineCalls(true, true, true));
    EXPECT_TRUE(contains(run.target->hostBytes(),
                         {0x80, 0x20, 0x04, 0x04, 0x80, 0x8C, 0x02, 0x00, 0xF9, 0x57}));
}

TEST_F(ProgrammingRun, Loader110IsReplaced) {
    RunResult run =
        h.run({"bsl430", "--device", "sim:version=1.10", "-b", loader, "-v", "on", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.10") + kUpgrade + kLoaderStep +
                              loading(loader) + ">0220\r>0220\r" + kFast + kFirmwareStep +
                              loading(firmware) + ">F000\r>FFFE\r>F000\r>FFFE\r" + kEnd + kOk);
    expectClosedAndReleased(run);
    EXPECT_EQ(run.target->commandCount(sim::kCmdMassErase), 21u);
    EXPECT_EQ(run.target->commandCount(sim::kCmdRxPassword), 2u);
    EXPECT_EQ(run.target->commandCount(sim::kCmdLoadPc), 2u);
    EXPECT_TRUE(contains(run.target->hostBytes(),
                         {0x80, 0x1A, 0x04, 0x04, 0x22, 0x0C, 0x00, 0x00, 0x59, 0xED}));
    // Started at the word at 0x0220.
    EXPECT_TRUE(
        contains(run.target->hostBytes(), {0x80, 0x1A, 0x04, 0x04, 0x22, 0x02, 0x00, 0x00}));
    EXPECT_EQ(run.target->peek(0xF000, kFirmware.size()), kFirmware);
}

TEST_F(ProgrammingRun, ReplacementLoaderFoundBesideProgram) {
    // Not in the working directory under its name; found in the directory of argument zero.
    harness::writeFile(dir + kSeparator + "standin.hex",
                       harness::hexRecords(0x0220, kLoader) + harness::hexEnd());
    RunResult run = h.run({dir + kSeparator + "bsl430", "--device", "sim:version=1.10", "-b",
                           "standin.hex", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.10") + kUpgrade + kLoaderStep +
                              "#Can't open file standin.hex!\n" +
                              loading(dir + kSeparator + "standin.hex") + ">0220\r" + kFast +
                              kFirmwareStep + loading(firmware) + ">F000\r>FFFE\r" + kEnd + kOk);
    expectClosedAndReleased(run);
    EXPECT_TRUE(
        contains(run.target->hostBytes(), {0x80, 0x1A, 0x04, 0x04, 0x22, 0x02, 0x00, 0x00}));
}

TEST_F(ProgrammingRun, ReplacementLoaderNotFoundBesideProgramEither) {
    RunResult run = h.run({dir + kSeparator + "bsl430", "--device", "sim:version=1.10", firmware});
    EXPECT_EQ(run.output, kHead + identification("01.10") + kUpgrade + kLoaderStep +
                              "#Can't open file BL_150S_14x.hex!\n#Can't open file " + dir +
                              kSeparator + "BL_150S_14x.hex!\n" +
                              notInstalled("BL_150S_14x.hex") +
                              errorBox(35, "Chyba pri nacitani IntelHEX"));
    expectClosedAndReleased(run);
}

#ifdef __linux__
TEST_F(ProgrammingRun, ReplacementLoaderFoundBesideProgramStartedFromPath) {
    // Started by its bare name, as from PATH: the program's directory is the one the system
    // knows it by.
    const auto self = std::filesystem::canonical("/proc/self/exe").parent_path();
    const std::string name = "loader-" + std::filesystem::path(dir).filename().string() + ".hex";
    const std::string beside = (self / name).string();
    harness::writeFile(beside, harness::hexRecords(0x0220, kLoader) + harness::hexEnd());
    // From a working directory without the loader (ctest starts the test beside the program).
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    RunResult run = h.run({"bsl430", "--device", "sim:version=1.10", "-b", name, firmware});
    std::filesystem::current_path(previous);
    std::filesystem::remove(beside);
    EXPECT_EQ(run.output, kHead + identification("01.10") + kUpgrade + kLoaderStep +
                              "#Can't open file " + name + "!\n" + loading(beside) + ">0220\r" +
                              kFast + kFirmwareStep + loading(firmware) + ">F000\r>FFFE\r" + kEnd +
                              kOk);
    expectClosedAndReleased(run);
}
#endif

TEST_F(ProgrammingRun, NoFirmwareFileLeavesTargetAlone) {
    RunResult run = h.run({"bsl430", "--device", "sim"});
    EXPECT_EQ(run.output, kFirmwareStep + "#Can't open file (none)!\n" +
                              errorBox(40, "Chyba pri nacitani IntelHEX"));
    expectClosedAndReleased(run);
    EXPECT_EQ(h.lineCalls(), expectedLineCalls(false, false, false));
    EXPECT_TRUE(run.target->hostBytes().empty());
    EXPECT_EQ(run.target->loaderStarts(), 0u);
}

// A firmware file that cannot be loaded ends the run before the port is opened: the load's own
// lines and error 40, and the board is neither reset nor entered nor erased.
struct BadFileCase {
    const char* name;
    std::string content;   // written as the firmware file; "" for none at all
    std::string expected;  // "FIRMWARE" stands for the file's path
};

void PrintTo(const BadFileCase& c, std::ostream* os) { *os << c.name; }

class BadFirmwareFile : public ProgrammingRun, public testing::WithParamInterface<BadFileCase> {};

TEST_P(BadFirmwareFile, NeverTouchesTheBoard) {
    const BadFileCase& c = GetParam();
    std::string path = dir + "/" + c.name + ".hex";
    if (std::string(c.name) == "Directory")
        std::filesystem::create_directory(path);
    else if (!c.content.empty())
        harness::writeFile(path, c.content);
    RunResult run = h.run({"bsl430", "--device", "sim", path});
    std::string expected = c.expected;
    for (std::string::size_type at; (at = expected.find("FIRMWARE")) != std::string::npos;)
        expected.replace(at, 8, path);
    EXPECT_EQ(run.output, expected + errorBox(40, "Chyba pri nacitani IntelHEX"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(h.log.named("CreateFileA").empty());
    EXPECT_TRUE(h.lineCalls().empty());
    EXPECT_EQ(run.target, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    NotLoaded, BadFirmwareFile,
    testing::Values(BadFileCase{"Missing", "", "#Can't open file FIRMWARE!\n"},
                    BadFileCase{"Directory", "", "#Can't open file FIRMWARE!\n"},
                    BadFileCase{"ChecksumError", ":0200000012340000\n" + harness::hexEnd(),
                                loading("FIRMWARE") + "#[1] checksum error!\n"},
                    BadFileCase{"NoData", "just text\n",
                                loading("FIRMWARE") + "#No data in file FIRMWARE!\n"}),
    [](const testing::TestParamInfo<BadFileCase>& info) { return std::string(info.param.name); });

// A command line or a port the program cannot use: standard output as ever, and one line on
// standard error that says why.
struct ReasonCase {
    const char* name;
    std::vector<std::string> args;  // after the program's name; "FIRMWARE" for the test's file
    std::string output;             // regular expressions for what follows the banner
    std::string errors;             // and for standard error
};

void PrintTo(const ReasonCase& c, std::ostream* os) { *os << c.name; }

class SaysWhy : public ProgrammingRun, public testing::WithParamInterface<ReasonCase> {};

TEST_P(SaysWhy, OnStandardError) {
    const ReasonCase& c = GetParam();
    std::vector<std::string> argv = {"bsl430"};
    for (const auto& arg : c.args) argv.push_back(arg == "FIRMWARE" ? firmware : arg);
    RunResult run = h.run(argv);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(std::regex_match(run.output, std::regex(c.output))) << run.output;
    EXPECT_TRUE(std::regex_match(run.errors, std::regex(c.errors))) << run.errors;
}

#ifdef _WIN32
const std::string kCom99 = "bsl430: COM99: .+\n";
#else
const std::string kCom99 = "bsl430: COM99 is /dev/ttyS98 here: .+\n";
#endif

const std::string kUsage = "Usage: [\\s\\S]*";
const ReasonCase kReasons[] = {
    {"UnknownOption", {"-x", "FIRMWARE"}, kUsage, "bsl430: \"-x\" is not an option\n"},
    {"OptionWithoutValue",
     {"FIRMWARE", "-p"},
     kUsage,
     "bsl430: \"-p\" needs <port number> after it\n"},
    {"ChoiceOutOfList",
     {"-v", "maybe", "FIRMWARE"},
     kUsage,
     "bsl430: \"-v\" needs off/on after it\n"},
    {"HelpAskedFor", {"-?"}, kUsage, ""},
    {"Version", {"--version"}, "bsl430 [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
    {"BadSimSetting",
     {"--device", "sim:bogus", "FIRMWARE"},
     "Error opening sim:bogus port!\n",
     "bsl430: sim:bogus: bad sim setting 'bogus' \\(.+\\)\n"},
    {"NetworkNameWithoutPort",
     {"--device", "rfc2217://x", "FIRMWARE"},
     "Error opening rfc2217://x port!\n",
     "bsl430: rfc2217://x is not rfc2217://HOST:PORT\n"},
    {"ComPortNumber", {"-p", "99", "FIRMWARE"}, "Error opening COM99 port!\n", kCom99},
};
INSTANTIATE_TEST_SUITE_P(Failures, SaysWhy, testing::ValuesIn(kReasons),
                         [](const auto& info) { return std::string(info.param.name); });

// Every error number a run can end with, provoked through the model.
struct ErrorCase {
    const char* name;
    std::string device;
    std::vector<std::string> options;  // "LOADER" and "FIRMWARE" stand for the test's files
    int number;
    std::string expected;  // "LOADER" and "FIRMWARE" stand for the files' paths
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class ErrorRun : public ProgrammingRun, public testing::WithParamInterface<ErrorCase> {};

std::string substitute(std::string text, const std::string& loader, const std::string& firmware) {
    for (auto [word, path] : {std::pair<std::string, std::string>{"LOADER", loader},
                              std::pair<std::string, std::string>{"FIRMWARE", firmware}}) {
        for (std::string::size_type at; (at = text.find(word)) != std::string::npos;)
            text.replace(at, word.size(), path);
    }
    return text;
}

TEST_P(ErrorRun, EndsWithItsBox) {
    const ErrorCase& c = GetParam();
    std::vector<std::string> argv = {"bsl430", "--device", c.device};
    for (const auto& option : c.options) argv.push_back(substitute(option, loader, firmware));
    RunResult run = h.run(argv);
    EXPECT_EQ(run.output, substitute(c.expected, loader, firmware));
    expectClosedAndReleased(run);
}

const std::string k110 = kHead + identification("01.10") + kUpgrade;
const std::string k161 = kHead + identification("01.61");
const std::string kLoaderHead = k110 + kLoaderStep + loading("LOADER") + ">0220\r";
const std::string kFirmwareHead = k161 + kFast + kFirmwareStep + loading("FIRMWARE") + ">F000\r";

INSTANTIATE_TEST_SUITE_P(
    EveryNumber, ErrorRun,
    testing::Values(
        ErrorCase{"E1FirstErase",
                  "sim:fault=silent",
                  {"FIRMWARE"},
                  1,
                  kHead + kNoSync + errorBox(1, kSyncMessage)},
        ErrorCase{"E2FirstErase",
                  "sim:fault=nack:erase:1",
                  {"FIRMWARE"},
                  2,
                  kHead + kNack + errorBox(2, kPacketMessage)},
        ErrorCase{"E3FirstErase",
                  "sim:fault=length:erase:1",
                  {"FIRMWARE"},
                  3,
                  kHead + errorBox(3, kReturnedMessage)},
        ErrorCase{"E1RepeatedErase",
                  "sim:version=1.10,fault=mute:sync:10+",
                  {"FIRMWARE"},
                  1,
                  k110 + kNoSync + errorBox(1, kSyncMessage)},
        ErrorCase{"E2RepeatedErase",
                  "sim:version=1.10,fault=nack:erase:5",
                  {"FIRMWARE"},
                  2,
                  k110 + kNack + errorBox(2, kPacketMessage)},
        ErrorCase{"E3LastRepeatedErase",
                  "sim:version=1.10,fault=length:erase:21",
                  {"FIRMWARE"},
                  3,
                  k110 + errorBox(3, kReturnedMessage)},
        ErrorCase{"E4Password",
                  "sim:fault=mute:sync:2+",
                  {"FIRMWARE"},
                  4,
                  kHead + kNoSync + errorBox(4, kSyncMessage)},
        ErrorCase{"E5Password",
                  "sim:fault=nack:password:1",
                  {"FIRMWARE"},
                  5,
                  kHead + kNack + errorBox(5, kPacketMessage)},
        ErrorCase{"E6Password",
                  "sim:fault=length:password:1",
                  {"FIRMWARE"},
                  6,
                  kHead + errorBox(6, kReturnedMessage)},
        ErrorCase{"E7Identification",
                  "sim:fault=mute:sync:3+",
                  {"FIRMWARE"},
                  7,
                  kHead + kNoSync + errorBox(7, kSyncMessage)},
        ErrorCase{"E8Identification",
                  "sim:fault=nack:read:1",
                  {"FIRMWARE"},
                  8,
                  kHead + kNack + errorBox(8, kPacketMessage)},
        ErrorCase{"E9Identification",
                  "sim:fault=length:read:1",
                  {"FIRMWARE"},
                  9,
                  kHead + errorBox(9, kReturnedMessage)},
        ErrorCase{"E10LoadPc",
                  "sim:version=1.10,fault=mute:sync:24+",
                  {"FIRMWARE"},
                  10,
                  k110 + kNoSync + errorBox(10, kSyncMessage)},
        ErrorCase{"E11LoadPc",
                  "sim:version=1.10,fault=nack:load-pc:1",
                  {"FIRMWARE"},
                  11,
                  k110 + kNack + errorBox(11, kPacketMessage)},
        ErrorCase{"E12LoadPc",
                  "sim:version=1.10,fault=length:load-pc:1",
                  {"FIRMWARE"},
                  12,
                  k110 + errorBox(12, kReturnedMessage)},
        ErrorCase{"E13SecondPassword",
                  "sim:version=1.10,fault=mute:sync:25+",
                  {"FIRMWARE"},
                  13,
                  k110 + kNoSync + errorBox(13, kSyncMessage)},
        ErrorCase{"E14SecondPassword",
                  "sim:version=1.10,fault=nack:password:2",
                  {"FIRMWARE"},
                  14,
                  k110 + kNack + errorBox(14, kPacketMessage)},
        ErrorCase{"E15SecondPassword",
                  "sim:version=1.10,fault=length:password:2",
                  {"FIRMWARE"},
                  15,
                  k110 + errorBox(15, kReturnedMessage)},
        ErrorCase{"E25BaudRate",
                  "sim:fault=mute:sync:4+",
                  {"FIRMWARE"},
                  25,
                  k161 + kFast + kNoSync + errorBox(25, kSyncMessage)},
        ErrorCase{"E26BaudRate",
                  "sim:fault=nack:baud:1",
                  {"FIRMWARE"},
                  26,
                  k161 + kFast + kNack + errorBox(26, kPacketMessage)},
        ErrorCase{"E27BaudRate",
                  "sim:fault=length:baud:1",
                  {"FIRMWARE"},
                  27,
                  k161 + kFast + errorBox(27, kReturnedMessage)},
        ErrorCase{"E35LoaderMissing",
                  "sim:version=1.10",
                  {"-b", "missing-loader.hex", "FIRMWARE"},
                  35,
                  k110 + kLoaderStep + "#Can't open file missing-loader.hex!\n" +
                      notBesideProgram("bsl430", "missing-loader.hex") +
                      notInstalled("missing-loader.hex") +
                      errorBox(35, "Chyba pri nacitani IntelHEX")},
        ErrorCase{"E36LoaderSend",
                  "sim:version=1.10,fault=nack:write:1",
                  {"-b", "LOADER", "FIRMWARE"},
                  36,
                  kLoaderHead + kNack + "#Error (2) sending data @ 0220!\n" +
                      errorBox(36, "Chyba pri posilani dat")},
        ErrorCase{"E37LoaderReadBack",
                  "sim:version=1.10,fault=mute:read:2",
                  {"-v", "on", "-b", "LOADER", "FIRMWARE"},
                  37,
                  kLoaderHead + ">0220\r" + kTimedOut + "#Error (2) retrieving data @ 0220!\n" +
                      errorBox(37, "Chyba pri vycitani naprogramovanych dat")},
        ErrorCase{"E38LoaderCompare",
                  "sim:version=1.10,fault=corrupt:0222",
                  {"-v", "on", "-b", "LOADER", "FIRMWARE"},
                  38,
                  kLoaderHead + ">0220\r#Error verifying data @ 0222!\n" +
                      errorBox(38, "Chyba pri kontrole naprogramovanych dat")},
        ErrorCase{"E39LoaderStart",
                  "sim:version=1.10,fault=nack:load-pc:2",
                  {"-b", "LOADER", "FIRMWARE"},
                  39,
                  kLoaderHead + kNack + "#Error (2) executing loaded SW!\n" +
                      errorBox(39, "Chyba pri spousteni programu v RAM")},
        ErrorCase{"E41FirmwareSend",
                  "sim:fault=nack:write:1",
                  {"FIRMWARE"},
                  41,
                  kFirmwareHead + kNack + "#Error (2) sending data @ F000!\n" +
                      errorBox(41, "Chyba pri posilani dat")},
        ErrorCase{"E42FirmwareReadBack",
                  "sim:fault=mute:read:2",
                  {"-v", "on", "FIRMWARE"},
                  42,
                  kFirmwareHead + ">FFFE\r>F000\r" + kTimedOut +
                      "#Error (2) retrieving data @ F000!\n" +
                      errorBox(42, "Chyba pri vycitani naprogramovanych dat")},
        ErrorCase{"E43FirmwareCompare",
                  "sim:fault=corrupt:F001",
                  {"-v", "on", "FIRMWARE"},
                  43,
                  kFirmwareHead + ">FFFE\r>F000\r#Error verifying data @ F001!\n" +
                      errorBox(43, "Chyba pri kontrole naprogramovanych dat")}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

}  // namespace
