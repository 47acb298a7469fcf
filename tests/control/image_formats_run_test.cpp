// Whole runs against the simulated chip with firmware files in formats other than Intel HEX: the
// chip ends up holding what the program's HEX file holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "run_harness.h"
#include "support/paths.h"

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

INSTANTIATE_TEST_SUITE_P(Files, FormatRun, testing::Values("program.elf", "program.txt"));

}  // namespace
