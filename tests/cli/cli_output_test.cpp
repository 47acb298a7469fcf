// The built program's output and exit code for command lines that end before any programming:
// the listing, bad command lines and a port that cannot be opened.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/paths.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using ToolRun = testsupport::ProgramRun;

ToolRun runTool(const std::vector<std::string>& args,
                const testsupport::RunSettings& settings = {}) {
    return testsupport::runProgram(testpaths::toolExe(), args, settings);
}

// Splits off the banner line, which carries the build's date and time.
std::string withoutBanner(const std::string& output) {
    static const std::regex banner(
        R"(BootStrap loader for MSP430 v0\.5 \([A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\)\n)");
    std::smatch match;
    if (!std::regex_search(output, match, banner, std::regex_constants::match_continuous))
        return "<no banner>" + output;
    return match.suffix();
}

std::string listing(const std::string& port) {
    return "Usage: " + testpaths::toolExe() +
           " [options] <firmware.HEX>\n"
           "-?, --help\n"
           "\tprint this help\n"
           "-t, --terminal\n"
           "\trun terminal after programming\n"
           "-p, --port <port number>\n"
           "\tset COM port number; default " +
           port +
           "\n"
           "-b, --bsl <BSL filename>\n"
           "\tset BSL upgrade filename; default BL_150S_14x.hex\n"
           "-v off/on, --verify off/on\n"
           "\tenable/disable verify; default off\n"
           "--verbose\n"
           "\tshow more detailed log\n"
           "-tb, --term-baud <baudrate>\n"
           "\tset terminal baudrate; default 115200Bd\n";
}

// Stands for a good firmware file of the test's own: a port that cannot be opened is only found
// out once the file is known good.
const std::string kGoodFirmware = "GOOD.hex";

std::string writeFirmware();

struct CliCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected;  // everything after the banner
};

class CliOutput : public testing::TestWithParam<CliCase> {};

TEST_P(CliOutput, PrintsExactlyAndExitsWithZero) {
    const CliCase& c = GetParam();
    std::vector<std::string> args = c.args;
    std::string firmware;
    for (std::string& arg : args) {
        if (arg != kGoodFirmware) continue;
        if (firmware.empty()) firmware = writeFirmware();
        arg = firmware;
    }
    ToolRun run = runTool(args);
    if (!firmware.empty())
        std::filesystem::remove_all(std::filesystem::path(firmware).parent_path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(withoutBanner(run.output), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, CliOutput,
    testing::Values(
        CliCase{"NoArguments", {}, listing("COM1")}, CliCase{"Help", {"-?"}, listing("COM1")},
        CliCase{"HelpWithFirmware", {"fw.hex", "--help"}, listing("COM1")},
        CliCase{"ParsedValuesShowInListing", {"-p", "4", "-?"}, listing("COM4")},
        CliCase{"UnknownOption", {"-x", "fw.hex"}, listing("COM1")},
        CliCase{"PortWithoutNumber", {"fw.hex", "-p"}, listing("COM1")},
        CliCase{"PortCannotBeOpened", {"-p", "7", kGoodFirmware}, "Error opening COM7 port!\n"},
        CliCase{"DeviceCannotBeOpened",
                {"--device", "/nonexistent/bsl430-port", kGoodFirmware},
                "Error opening /nonexistent/bsl430-port port!\n"},
        CliCase{"LongDeviceNameShownWhole",
                {"--device", "/nonexistent/" + std::string(400, 'p'), kGoodFirmware},
                "Error opening /nonexistent/" + std::string(400, 'p') + " port!\n"}),
    [](const testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

// A firmware file of ours: a few words at 0xF000 and the reset vector.
std::string writeFirmware() {
    std::string pattern = testing::TempDir() + "bsl430-cli-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (testsupport::makeUniqueDir(buffer.data()) == nullptr) return "";
    std::string path = std::string(buffer.data()) + "/fw.hex";
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return "";
    std::fputs(":08F000003140000AB240805AC1\n:02FFFE0000F011\n:00000001FF\n", file);
    std::fclose(file);
    return path;
}

const std::string kRunTranscript =
    "#Programovani SW pres BSL\n#inicializace komunikace...\n#mazani procesoru...\n"
    "#CHIP type: F149\n#BSL ver: 01.61\n#Fast speed...\n#programovani noveho SW...\n";

TEST(CliRun, ProgramsTheSimulatedTarget) {
    std::string firmware = writeFirmware();
    ASSERT_FALSE(firmware.empty());
    ToolRun run = runTool({"--device", "sim", "-v", "on", firmware});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(withoutBanner(run.output),
              kRunTranscript + "#Nahravam soubor IntelHEX: " + firmware +
                  "\n>F000\r>FFFE\r>F000\r>FFFE\r#konec programovani...\n\nTest OK\n\n");
    std::filesystem::remove_all(std::filesystem::path(firmware).parent_path());
}

TEST(CliRun, TerminalWithoutConsoleEndsWithOne) {
    std::string firmware = writeFirmware();
    ASSERT_FALSE(firmware.empty());
    // Started without a console (or controlling terminal), so there is none to open.
    testsupport::RunSettings withoutConsole;
    withoutConsole.withoutConsole = true;
    ToolRun run = runTool({"--device", "sim", "-t", firmware}, withoutConsole);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(withoutBanner(run.output),
              kRunTranscript + "#Nahravam soubor IntelHEX: " + firmware +
                  "\n>F000\r>FFFE\r#konec programovani...\n\nTest OK\n\nError opening console!\n");
    std::filesystem::remove_all(std::filesystem::path(firmware).parent_path());
}

}  // namespace
