// Whole runs against the simulated chip with firmware and replacement-loader files in the formats
// other than Intel HEX: the chip ends up holding what the program's HEX file holds, and a file
// that fails to load ends the run with the HEX loader's error before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "run_harness.h"
#include "sim/loader_protocol.h"
#include "support/paths.h"

using harness::errorBox;
using harness::Harness;
using harness::RunResult;

namespace {

std::string dataFile(const std::string& name) {
    return testpaths::sourceDir() + "/tests/data/formats/" + name;
}

// The program's memory image as its Intel HEX file gives it.
std::vector<std::uint16_t> hexImage() {
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadIntelHex(dataFile("program.hex").c_str(), 0), 0);
    testing::internal::GetCapturedStdout();
    return std::vector<std::uint16_t>(MemoryImage, MemoryImage + kMemoryImageCells);
}

class FormatRun : public testing::TestWithParam<const char*> {};

TEST_P(FormatRun, FlashHoldsTheHexImage) {
    const std::vector<std::uint16_t> want = hexImage();
    Harness h;
    const std::string file = dataFile(GetParam());
    RunResult run = h.run({"bsl430", "--device", "sim", "-v", "on", file});
    EXPECT_NE(run.output.find("#Nahravam soubor IntelHEX: " + file + "\n"), std::string::npos);
    EXPECT_EQ(run.output.substr(run.output.size() - 10), "\nTest OK\n\n");
    ASSERT_NE(run.target, nullptr);
    // Main flash: the program's bytes where its HEX has them, erased everywhere else.
    for (unsigned a = 0x1100; a < 0x10000; ++a) {
        const unsigned expected = want[a] == kEmptyCell ? 0xFF : want[a];
        ASSERT_EQ(run.target->peek(static_cast<std::uint16_t>(a)), expected) << std::hex << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, FormatRun,
                         testing::Values("program.elf", "program.txt", "program.s28"));

TEST(FormatRun, ReplacementLoaderInTiTxtIsStarted) {
    Harness h;
    RunResult run = h.run({"bsl430", "--device", "sim:version=1.10", "-b", dataFile("loader.txt"),
                           dataFile("program.s19")});
    EXPECT_NE(run.output.find("#Nahravam soubor IntelHEX: " + dataFile("loader.txt") + "\n>0220\r"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - 10), "\nTest OK\n\n");
    ASSERT_NE(run.target, nullptr);
    // Started at the entry the loader's word at 0x0220 names, and its code is in RAM.
    const std::vector<std::uint8_t> loadPc = {0x80, 0x1A, 0x04, 0x04, 0x22, 0x02, 0x00, 0x00};
    const std::vector<std::uint8_t> sent = run.target->hostBytes();
    EXPECT_NE(std::search(sent.begin(), sent.end(), loadPc.begin(), loadPc.end()), sent.end());
    EXPECT_EQ(run.target->peek(0x0220, 4), (std::vector<std::uint8_t>{0x22, 0x02, 0xB2, 0x40}));
}

struct RefusedRun {
    const char* name;
    std::vector<std::string> options;  // "BAD" stands for the refused file
    int error;
};

class RefusedFormatRun : public testing::TestWithParam<RefusedRun> {};

TEST_P(RefusedFormatRun, NothingIsSent) {
    const std::string dir = harness::makeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string bad = dir + "/bad.s19";
    harness::writeFile(bad, "S1051100AB122C\nS1051102AB1229\n");  // the second checksum is wrong
    std::vector<std::string> argv = {"bsl430", "--device", "sim:version=1.10"};
    for (const std::string& option : GetParam().options)
        argv.push_back(option == "BAD"        ? bad
                       : option == "LOADER"   ? dataFile("loader.txt")
                       : option == "FIRMWARE" ? dataFile("program.elf")
                                              : option);
    Harness h;
    RunResult run = h.run(argv);
    std::filesystem::remove_all(dir);
    const std::string tail = "#Nahravam soubor IntelHEX: " + bad + "\n#[2] checksum error!\n" +
                             errorBox(GetParam().error, "Chyba pri nacitani IntelHEX");
    ASSERT_GE(run.output.size(), tail.size());
    EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
    ASSERT_NE(run.target, nullptr);
    // The loader's one block before a refused firmware; nothing before a refused loader.
    EXPECT_EQ(run.target->commandCount(sim::kCmdRxDataBlock), GetParam().error == 40 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, RefusedFormatRun,
                         testing::Values(RefusedRun{"Firmware", {"-b", "LOADER", "BAD"}, 40},
                                         RefusedRun{
                                             "ReplacementLoader", {"-b", "BAD", "FIRMWARE"}, 35}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
