// Firmware files in every format the tool reads: each test program made by the toolchains loads to
// exactly the image of its Intel HEX, and each format refuses what it must with the HEX loader's
// messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "support/paths.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string dataFile(const std::string& name) {
    return testpaths::sourceDir() + "/tests/data/formats/" + name;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Loads through the format detection and returns the result; `output` gets what was printed.
int load(const std::string& path, std::string& output) {
    testing::internal::CaptureStdout();
    const int result = loadImageFile(path.c_str(), 1);
    std::fflush(stdout);
    output = testing::internal::GetCapturedStdout();
    return result;
}

std::vector<std::uint16_t> hexImage(const std::string& path) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(loadIntelHex(path.c_str(), 0), 0) << path;
    testing::internal::GetCapturedStdout();
    return std::vector<std::uint16_t>(MemoryImage, MemoryImage + kMemoryImageCells);
}

TEST(ToolchainFile, LoadsToTheImageOfItsHex) {
    const std::string loaderHex = "../../../examples/bsl_replacement.hex";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"program.elf", "program.hex"}, {"program.txt", "program.hex"},
        {"program.s19", "program.hex"}, {"program.s28", "program.hex"},
        {"program.s37", "program.hex"}, {"loader.txt", loaderHex},
        {"loader.s19", loaderHex},      {"program-stripped.elf", "program.hex"}};
    for (const auto& [file, hex] : files) {
        std::vector<std::uint16_t> want = hexImage(dataFile(hex));
        // Without section headers the file bytes of the segment that holds two vectors include
        // the unused vector between them (zeros); the headers' own segment at 0 still stays out.
        if (file == "program-stripped.elf") want[0xFFEA] = want[0xFFEB] = 0;
        std::string output;
        EXPECT_EQ(load(dataFile(file), output), 0) << file;
        EXPECT_EQ(output, "#Nahravam soubor IntelHEX: " + dataFile(file) + "\n");
        // The first cell that differs, if any.
        EXPECT_EQ(std::mismatch(want.begin(), want.end(), MemoryImage).first - want.begin(),
                  kMemoryImageCells)
            << file;
    }
}

// ---- What each format refuses ------------------------------------------------------------------

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value * 256 + static_cast<std::uint8_t>(bytes[at + k]);
    return value;
}

// A test file with the 16-bit (or 32-bit) little-endian value at `at` replaced; `at` may be
// counted from the start of the section (or program) header table.
enum Table { kNoTable, kSections, kSegments };
std::string patched(const char* file, Table table, std::size_t at, std::uint32_t value,
                    int bytes = 4) {
    std::string elf = readBytes(dataFile(file));
    if (table != kNoTable) at += le32(elf, table == kSections ? 32 : 28);
    for (int k = 0; k < bytes; ++k, value >>= 8) elf[at + k] = static_cast<char>(value & 0xFF);
    return elf;
}

struct RefusedCase {
    const char* name;
    std::string content;
    std::string message;  // after the opening line; "" for a file that loads
};

std::string malformed(int where) { return "#[" + std::to_string(where) + "] malformed record!\n"; }
std::string past(int where) {
    return "#[" + std::to_string(where) + "] record runs past address FFFF!\n";
}

class RefusedFile : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedFile, FailsWithTheHexLoadersMessage) {
    const RefusedCase& c = GetParam();
    const std::string dir = testsupport::makeTempDir("formats");
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/file";
    std::ofstream(path, std::ios::binary) << c.content;
    std::string output;
    const int result = load(path, output);
    fs::remove_all(dir);
    EXPECT_EQ(result, c.message.empty() ? 0 : 2);
    EXPECT_EQ(output, "#Nahravam soubor IntelHEX: " + path + "\n" + c.message);
}

const std::string kS1 = "S1051100AB122C\n";  // AB 12 at 1100
const std::string kElf = readBytes(dataFile("program.elf"));

// Section indices as `readelf -S` shows them for program.elf: 1 .text, 6 .vector6, 7 .vector15;
// section header fields: sh_addr at 12, sh_offset at 16, sh_size at 20. The stripped file's
// program header 7 holds the reset vector; p_offset at 4, p_paddr at 12.
INSTANTIATE_TEST_SUITE_P(
    Formats, RefusedFile,
    testing::Values(
        RefusedCase{"TiTxtCaseLineEndsNoEnd", "\r\n@1a00\r\nab Cd\r01", ""},
        RefusedCase{"TiTxtSameBytesTwiceTextAfterEnd", "@1100\n01 02\n@1101\n02\nq\n@1 zz", ""},
        RefusedCase{"TiTxtPastFFFF", "@FFFE\n01 02\n03\nq\n", past(3)},
        RefusedCase{"TiTxtHugeAddress", "@10000000000000000\n01\n", past(2)},
        RefusedCase{"TiTxtContradiction", "@1100\n01 02\n\r@1101\n03\n",
                    "#[5] record contradicts earlier data at 1101!\n"},
        RefusedCase{"TiTxtNotHex", "@1100\n01 0G\n", malformed(2)},
        RefusedCase{"SRecOtherTypesIgnored",
                    "S005000048446E\n\n  " + kS1 + "S5030001FB\r\nS9031100EB\r\n" + kS1, ""},
        RefusedCase{"SRecChecksum", kS1 + "S1051102AB1229\n", "#[2] checksum error!\n"},
        RefusedCase{"SRecS3AtTop", "S307FFFFFFFF0102F9\n", past(1)},
        RefusedCase{"SRecCountMismatch", "S1061100AB122B\n", malformed(1)},
        RefusedCase{"SRecReservedType", kS1 + "S4051100AB122C\n", malformed(2)},
        RefusedCase{"SRecOtherText", kS1 + ":00000001FF\n", malformed(2)},
        RefusedCase{"SRecEndlessLine", kS1 + "S1" + std::string(2000, '0'), malformed(2)},
        RefusedCase{"ElfShort", kElf.substr(0, 51), malformed(0)},
        RefusedCase{"ElfSectionHeadersCut", kElf.substr(0, 0x2000), malformed(0)},
        RefusedCase{"ElfOtherMachine", patched("program.elf", kNoTable, 18, 62, 2), malformed(0)},
        RefusedCase{"ElfEndlessCount", patched("program.elf", kNoTable, 48, 0xFFFF, 2),
                    malformed(0)},
        RefusedCase{"ElfBeyondFile", patched("program.elf", kSections, 56, 0xFFFFFF00),
                    malformed(1)},
        RefusedCase{"ElfHugeSection", patched("program.elf", kSections, 60, 0xFFFFFFF0), past(1)},
        RefusedCase{"ElfOutsideSegments", patched("program.elf", kSections, 292, 0xFFFF), past(7)},
        RefusedCase{"ElfContradiction", patched("program.elf", kSections, 252, 0xFFE8),
                    "#[6] record contradicts earlier data at FFE8!\n"},
        RefusedCase{"ElfSegmentBeyondFile",
                    patched("program-stripped.elf", kSegments, 228, 0x7FFFFFFF), malformed(7)},
        // None of the formats: the Intel HEX loader's answer, as before.
        RefusedCase{"ElfMagicCutIsHex", "\177EL", ""}, RefusedCase{"SAndNoDigitIsHex", "Sx\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
