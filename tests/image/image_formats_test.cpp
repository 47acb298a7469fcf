// Firmware files in every format the tool reads: each test program made by the toolchains loads to
// exactly the image of its Intel HEX, and each format refuses what it must with the HEX loader's
// messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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

std::vector<std::uint16_t> currentImage() {
    return std::vector<std::uint16_t>(MemoryImage, MemoryImage + kMemoryImageCells);
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
    return currentImage();
}

// Cells where two images differ, as "addr: a/b" text (empty when they agree).
std::string differences(const std::vector<std::uint16_t>& got,
                        const std::vector<std::uint16_t>& want) {
    std::string text;
    for (int a = 0; a < kMemoryImageCells && text.size() < 200; ++a)
        if (got[a] != want[a]) {
            char cell[32];
            std::snprintf(cell, sizeof cell, "%04X: %X/%X ", a, got[a], want[a]);
            text += cell;
        }
    return text;
}

struct SameImageCase {
    const char* file;
    const char* hex;  // the Intel HEX of the same program
    ImageFormat format;
};

class ToolchainFile : public testing::TestWithParam<SameImageCase> {};

TEST_P(ToolchainFile, LoadsToTheImageOfItsHex) {
    const SameImageCase& c = GetParam();
    const std::vector<std::uint16_t> want = hexImage(dataFile(c.hex));
    EXPECT_EQ(detectImageFormat(dataFile(c.file).c_str()), c.format);
    std::string output;
    ASSERT_EQ(load(dataFile(c.file), output), 0) << output;
    EXPECT_EQ(output, "#Nahravam soubor IntelHEX: " + dataFile(c.file) + "\n");
    EXPECT_EQ(differences(currentImage(), want), "");
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ToolchainFile,
    testing::Values(
        SameImageCase{"program.elf", "program.hex", kElfFormat},
        SameImageCase{"program.txt", "program.hex", kTiTxtFormat},
        SameImageCase{"program.s19", "program.hex", kSRecordFormat},
        SameImageCase{"program.s28", "program.hex", kSRecordFormat},
        SameImageCase{"program.s37", "program.hex", kSRecordFormat},
        SameImageCase{"loader.txt", "../../../examples/bsl_replacement.hex", kTiTxtFormat},
        SameImageCase{"loader.s19", "../../../examples/bsl_replacement.hex", kSRecordFormat}));

TEST(ToolchainFile, WithoutSectionHeadersTheSegmentsLoadButNotTheFileHeaders) {
    std::vector<std::uint16_t> want = hexImage(dataFile("program.hex"));
    // Two vectors share one segment; without sections the unused vector between them is part of
    // its file bytes (zeros). The headers' own segment at address 0 stays out.
    want[0xFFEA] = 0;
    want[0xFFEB] = 0;
    std::string output;
    ASSERT_EQ(load(dataFile("program-stripped.elf"), output), 0) << output;
    EXPECT_EQ(differences(currentImage(), want), "");
}

// ---- What each format refuses ------------------------------------------------------------------

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int k = 3; k >= 0; --k) value = value * 256 + static_cast<std::uint8_t>(bytes[at + k]);
    return value;
}
void put16(std::string& bytes, std::size_t at, unsigned value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}
void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

// The test program's ELF with one change: `field` of section header `index` (sh_addr 12,
// sh_offset 16, sh_size 20) set to `value`.
std::string elfWithSection(unsigned index, unsigned field, std::uint32_t value) {
    std::string elf = readBytes(dataFile("program.elf"));
    put32(elf, le32(elf, 32) + 40 * index + field, value);
    return elf;
}
std::string elfWithHeader(std::size_t at, unsigned value16) {
    std::string elf = readBytes(dataFile("program.elf"));
    put16(elf, at, value16);
    return elf;
}
std::string strippedWithSegment(unsigned index, unsigned field, std::uint32_t value) {
    std::string elf = readBytes(dataFile("program-stripped.elf"));
    put32(elf, le32(elf, 28) + 32 * index + field, value);
    return elf;
}

struct RefusedCase {
    const char* name;
    std::string content;
    std::string message;  // after the opening line; "" for a file that loads
};

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

INSTANTIATE_TEST_SUITE_P(
    TiTxt, RefusedFile,
    testing::Values(
        RefusedCase{"CaseLineEndsAndNoEnd", "\r\n@1a00\r\nab Cd\r01", ""},
        RefusedCase{"AgreeingOverlapAndTextAfterEnd", "@1100\n01 02\n@1101\n02\nq\n@1100 zz", ""},
        RefusedCase{"PastFFFF", "@FFFE\n01 02\n03\nq\n", "#[3] record runs past address FFFF!\n"},
        RefusedCase{"AddressAbove64KiB", "@1100\n01\n@10000\n01\nq\n",
                    "#[4] record runs past address FFFF!\n"},
        RefusedCase{"HugeAddressDoesNotWrap", "@10000000000000000\n01\nq\n",
                    "#[2] record runs past address FFFF!\n"},
        RefusedCase{"ContradictingOverlap", "@1100\n01 02\n\r@1101\n03\nq\n",
                    "#[5] record contradicts earlier data at 1101!\n"},
        RefusedCase{"NotHex", "@1100\n01 0G\nq\n", "#[2] malformed record!\n"},
        RefusedCase{"ThreeDigits", "@1100\n01 023\nq\n", "#[2] malformed record!\n"},
        RefusedCase{"OneDigit", "@1100\n1\nq\n", "#[2] malformed record!\n"},
        RefusedCase{"EmptyAddress", "@\n01\nq\n", "#[1] malformed record!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SRecords, RefusedFile,
    testing::Values(
        RefusedCase{"OtherRecordsIgnored",
                    "S005000048446E\n\n  " + kS1 + "S5030001FB\r\nS9031100EB\r\n" + kS1, ""},
        RefusedCase{"Checksum", kS1 + "S1051102AB1229\n", "#[2] checksum error!\n"},
        RefusedCase{"IgnoredRecordChecksum", kS1 + "S9031100EC\n", "#[2] checksum error!\n"},
        RefusedCase{"S2Above64KiB", "S2060100000102F5\n", "#[1] record runs past address FFFF!\n"},
        RefusedCase{"S3AtTopDoesNotWrap", "S307FFFFFFFF0102F9\n",
                    "#[1] record runs past address FFFF!\n"},
        RefusedCase{"S1RunsPastFFFF", "S105FFFF0102F9\n", "#[1] record runs past address FFFF!\n"},
        RefusedCase{"ContradictingOverlap", kS1 + "S1041101FFEA\n",
                    "#[2] record contradicts earlier data at 1101!\n"},
        RefusedCase{"CountLongerThanLine", "S1061100AB122B\n", "#[1] malformed record!\n"},
        RefusedCase{"CountShorterThanLine", "S1041100AB122C\n", "#[1] malformed record!\n"},
        RefusedCase{"CountBelowAddress", "S102FFFE\n", "#[1] malformed record!\n"},
        RefusedCase{"HalfPair", "S1051100AB122C0\n", "#[1] malformed record!\n"},
        RefusedCase{"ReservedType", kS1 + "S4051100AB122C\n", "#[2] malformed record!\n"},
        RefusedCase{"LineOfOtherText", kS1 + ":00000001FF\n", "#[2] malformed record!\n"},
        RefusedCase{"EndlessLine", kS1 + "S1" + std::string(2000, '0') + "\n",
                    "#[2] malformed record!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Section indices as `readelf -S` shows them for program.elf: 1 .text, 3 .data, 5 .vector4,
// 6 .vector6, 7 .vector15; the stripped file's program header 7 holds the reset vector.
INSTANTIATE_TEST_SUITE_P(
    Elf, RefusedFile,
    testing::Values(
        RefusedCase{"ShorterThanHeader", readBytes(dataFile("program.elf")).substr(0, 51),
                    "#[0] malformed record!\n"},
        RefusedCase{"SectionHeadersCut", readBytes(dataFile("program.elf")).substr(0, 0x2000),
                    "#[0] malformed record!\n"},
        RefusedCase{"OtherMachine", elfWithHeader(18, 62), "#[0] malformed record!\n"},
        RefusedCase{"SixtyFourBit", elfWithHeader(4, 0x0102), "#[0] malformed record!\n"},
        RefusedCase{"BigEndian", elfWithHeader(4, 0x0201), "#[0] malformed record!\n"},
        RefusedCase{"NotLinked", elfWithHeader(16, 1), "#[0] malformed record!\n"},
        RefusedCase{"SmallSectionEntries", elfWithHeader(46, 39), "#[0] malformed record!\n"},
        RefusedCase{"EndlessSectionCount", elfWithHeader(48, 0xFFFF), "#[0] malformed record!\n"},
        RefusedCase{"EndlessSegmentCount", elfWithHeader(44, 0xFFFF), "#[0] malformed record!\n"},
        RefusedCase{"ContentsBeyondFile", elfWithSection(1, 16, 0xFFFFFF00),
                    "#[1] malformed record!\n"},
        RefusedCase{"HugeSection", elfWithSection(1, 20, 0xFFFFFFF0),
                    "#[1] record runs past address FFFF!\n"},
        RefusedCase{"SectionOutsideSegmentsPastTop", elfWithSection(7, 12, 0xFFFF),
                    "#[7] record runs past address FFFF!\n"},
        RefusedCase{"ContradictingSections", elfWithSection(6, 12, 0xFFE8),
                    "#[6] record contradicts earlier data at FFE8!\n"},
        RefusedCase{"SegmentPastTop", strippedWithSegment(7, 12, 0xFFFF),
                    "#[7] record runs past address FFFF!\n"},
        RefusedCase{"SegmentBeyondFile", strippedWithSegment(7, 4, 0x7FFFFFFF),
                    "#[7] malformed record!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct DetectCase {
    const char* name;
    std::string content;
    ImageFormat format;
};

class Detection : public testing::TestWithParam<DetectCase> {};

TEST_P(Detection, FormatFromTheFirstBytes) {
    const std::string dir = testsupport::makeTempDir("detect");
    ASSERT_FALSE(dir.empty());
    std::ofstream(dir + "/file", std::ios::binary) << GetParam().content;
    EXPECT_EQ(detectImageFormat((dir + "/file").c_str()), GetParam().format);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, Detection,
    testing::Values(DetectCase{"Elf",
                               std::string("\x7F"
                                           "ELF",
                                           4),
                               kElfFormat},
                    DetectCase{"ElfMagicCut",
                               std::string("\x7F"
                                           "EL",
                                           3),
                               kIntelHexFormat},
                    DetectCase{"TiTxtAfterBlankLines", " \r\n\t\n@1100\n", kTiTxtFormat},
                    DetectCase{"SRecord", "\nS00600004844521B\n", kSRecordFormat},
                    DetectCase{"SAndNoDigit", "Sx\n", kIntelHexFormat},
                    DetectCase{"LoneS", "S", kIntelHexFormat},
                    DetectCase{"IntelHex", ":00000001FF\n", kIntelHexFormat},
                    DetectCase{"CommentFirst", "; @1100\n", kIntelHexFormat},
                    DetectCase{"Empty", "", kIntelHexFormat}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Detection, FilesThatCannotBeReadGoToTheHexLoader) {
    EXPECT_EQ(detectImageFormat(nullptr), kIntelHexFormat);
    EXPECT_EQ(detectImageFormat(testpaths::sourceDir().c_str()), kIntelHexFormat);
    EXPECT_EQ(detectImageFormat((testpaths::sourceDir() + "/no such file").c_str()),
              kIntelHexFormat);
}

}  // namespace
