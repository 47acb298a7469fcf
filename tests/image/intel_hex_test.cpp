// Intel HEX loading: files written by real tools, hand-made records around the loader's rules,
// and the records it must refuse.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// One record with its checksum; checksumDelta spoils the checksum on purpose.
std::string rec(unsigned type, unsigned address, const std::vector<int>& data,
                int checksumDelta = 0) {
    std::vector<int> bytes = {static_cast<int>(data.size()), static_cast<int>(address >> 8),
                              static_cast<int>(address & 0xFF), static_cast<int>(type)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    int sum = 0;
    for (int b : bytes) sum += b;
    bytes.push_back((0x100 - (sum & 0xFF) + checksumDelta) & 0xFF);
    std::string line = ":";
    char pair[3];
    for (int b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        line += pair;
    }
    return line + "\n";
}

const std::string kEndRecord = ":00000001FF\n";

class IntelHex : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "hexXXXXXX").string();
        ASSERT_NE(testsupport::makeUniqueDir(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& content) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    // Loads and returns the result; `output` receives what the loader printed.
    int load(const std::string& path, int verbosity, std::string& output) {
        testing::internal::CaptureStdout();
        int result = loadIntelHex(path.c_str(), verbosity);
        std::fflush(stdout);
        output = testing::internal::GetCapturedStdout();
        return result;
    }
    // True when the image holds exactly `cells` and nothing else.
    static ::testing::AssertionResult imageIs(const std::map<unsigned, int>& cells) {
        for (unsigned a = 0; a < kMemoryImageCells; ++a) {
            auto it = cells.find(a);
            unsigned want = it == cells.end() ? kEmptyCell : static_cast<unsigned>(it->second);
            if (MemoryImage[a] != want)
                return ::testing::AssertionFailure() << "cell " << std::hex << a << " is "
                                                     << MemoryImage[a] << ", wanted " << want;
        }
        return ::testing::AssertionSuccess();
    }

    fs::path dir;
};

std::vector<std::uint8_t> pseudoRandomBytes(std::size_t count, unsigned seed) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    // Erased-looking bytes are ordinary data and must come through as filled cells.
    for (std::size_t i = 0; i < count; i += 97) bytes[i] = 0xFF;
    return bytes;
}

struct ToolCase {
    const char* tool;  // "objcopy" or "srec_cat"
    int recordLength;  // data bytes per record (srec_cat only)
    unsigned address;  // where the binary goes
    std::size_t size;
    bool crlf;  // line ends as a Windows tool writes them
};

class ToolWrittenHex : public IntelHex, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ToolWrittenHex, LoadsExactlyTheBinary) {
    const ToolCase& c = GetParam();
    std::vector<std::uint8_t> binary = pseudoRandomBytes(c.size, c.address + c.recordLength);
    std::string bin = write("image.bin", std::string(binary.begin(), binary.end()));
    std::string hex = (dir / "image.hex").string();
    char command[512];
    if (std::string(c.tool) == "objcopy")
        std::snprintf(command, sizeof command,
                      "objcopy -I binary -O ihex --change-addresses 0x%X '%s' '%s' 2>&1", c.address,
                      bin.c_str(), hex.c_str());
    else
        std::snprintf(command, sizeof command,
                      "srec_cat '%s' -binary -offset 0x%X -o '%s' -intel -obs=%d 2>&1", bin.c_str(),
                      c.address, hex.c_str(), c.recordLength);
    if (std::system((std::string("command -v ") + c.tool + " >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << c.tool << " is not installed";
    ASSERT_EQ(std::system(command), 0) << command;

    if (c.crlf) {
        std::ifstream in(hex, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {}), converted;
        for (char ch : text) converted += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        write("image.hex", converted);
    }

    std::string output;
    ASSERT_EQ(load(hex, 0, output), 0) << output;
    EXPECT_EQ(output, "");
    std::map<unsigned, int> cells;
    for (std::size_t i = 0; i < binary.size(); ++i) cells[c.address + i] = binary[i];
    EXPECT_TRUE(imageIs(cells));
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolWrittenHex,
    ::testing::Values(ToolCase{"objcopy", 16, 0x1100, 3000, false},
                      ToolCase{"objcopy", 16, 0xF000, 0x1000, false},  // up to 0xFFFF
                      ToolCase{"srec_cat", 1, 0x0201, 37, false},
                      ToolCase{"srec_cat", 123, 0x1101, 2000, false},  // lines longer than 255
                      ToolCase{"srec_cat", 128, 0x8000, 0x8000, true},
                      ToolCase{"srec_cat", 255, 0x0000, 0x10000, false},  // the whole space
                      ToolCase{"srec_cat", 255, 0xFEA0, 0x160, true}),
    [](const ::testing::TestParamInfo<ToolCase>& info) {
        return std::string(info.param.tool == std::string("objcopy") ? "objcopy" : "srec_cat") +
               "_len" + std::to_string(info.param.recordLength) + "_at" +
               std::to_string(info.param.address) + (info.param.crlf ? "_crlf" : "");
    });

struct HandCase {
    const char* name;
    std::string content;
    int result;
    std::string output;  // at verbosity 2, after the opening line
    std::map<unsigned, int> cells;
};

class HandWrittenHex : public IntelHex, public ::testing::WithParamInterface<HandCase> {};

TEST_P(HandWrittenHex, ResultMessagesAndImage) {
    const HandCase& c = GetParam();
    std::string path = write("case.hex", c.content);
    std::string output;
    EXPECT_EQ(load(path, 2, output), c.result);
    EXPECT_EQ(output, "#Nahravam soubor IntelHEX: " + path + "\n" + c.output);
    EXPECT_TRUE(imageIs(c.cells));
}

const std::string kLongLineRecord = rec(0, 0x2000, std::vector<int>(255, 0x5A));

std::map<unsigned, int> run(unsigned start, const std::vector<int>& bytes,
                            std::map<unsigned, int> cells = {}) {
    for (std::size_t i = 0; i < bytes.size(); ++i) cells[start + i] = bytes[i];
    return cells;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandWrittenHex,
    ::testing::Values(
        HandCase{"EmptyFile", "", 0, "#0 lines parsed, 0 bytes loaded.\n", {}},
        HandCase{"NoRecords", "just text\n\n", 0, "#2 lines parsed, 0 bytes loaded.\n", {}},
        HandCase{"NoEndRecord", rec(0, 0x1234, {1, 2}), 0, "#1 lines parsed, 2 bytes loaded.\n",
                 run(0x1234, {1, 2})},
        HandCase{"NothingReadAfterEnd",
                 rec(0, 0x10, {7}) + ":00000001AA\n" + rec(0, 0x20, {8}) + rec(0, 0x30, {9}, 1), 0,
                 "#2 lines parsed, 1 bytes loaded.\n", run(0x10, {7})},
        // Base records: zero bases and start addresses change nothing; a base moves the data
        // after it, up to the next base; data at 0x10000 or above is refused before it is stored.
        HandCase{"ZeroBasesAndStartAddresses",
                 rec(4, 0, {0, 0}) + rec(2, 0, {0, 0}) + rec(3, 0, {0, 0, 0x12, 0x34}, 5) +
                     rec(5, 0, {0, 0, 0x44, 0x00}) + rec(0, 0x0400, {0xAA}) + kEndRecord,
                 0,
                 "#[3] unsupported IntelHEX record type: 03\n"
                 "#[4] unsupported IntelHEX record type: 05\n"
                 "#6 lines parsed, 1 bytes loaded.\n",
                 run(0x0400, {0xAA})},
        HandCase{"BasesMoveTheDataAfterThem",
                 rec(0, 0x0010, {1}) + ":020000020E00EE\n" + rec(0, 0x0000, {2, 3}) +
                     rec(0, 0x1FFE, {4, 5}) + rec(4, 0, {0, 0}) + rec(0, 0x0020, {6}) +
                     rec(2, 0, {0x0F, 0xF0}) + rec(0, 0x0001, {7}) + kEndRecord,
                 0, "#9 lines parsed, 7 bytes loaded.\n",
                 run(0x0010, {1},
                     run(0xE000, {2, 3}, run(0xFFFE, {4, 5}, run(0x0020, {6}, run(0xFF01, {7})))))},
        HandCase{"SegmentBaseCrossingFFFF",
                 rec(0, 0x0010, {1}) + ":020000020E00EE\n" + rec(0, 0x1FFF, {2, 3}) + kEndRecord, 2,
                 "#[3] record runs past address FFFF!\n", run(0x0010, {1})},
        HandCase{"SegmentBaseAt64KiB",
                 rec(2, 0, {0x10, 0x00}) + rec(0, 0x0000, {1}) + kEndRecord,
                 2,
                 "#[2] record runs past address FFFF!\n",
                 {}},
        HandCase{"LinearBaseAbove64KiB",
                 rec(0, 0x0010, {1}) + rec(4, 0, {0x00, 0x01}) + rec(0, 0x0010, {2}) + kEndRecord,
                 2, "#[3] record runs past address FFFF!\n", run(0x0010, {1})},
        HandCase{"HighestLinearBaseDoesNotWrap",
                 rec(4, 0, {0xFF, 0xFF}) + rec(0, 0xFFFF, {1, 2}) + kEndRecord,
                 2,
                 "#[2] record runs past address FFFF!\n",
                 {}},
        HandCase{"BaseRecordChecksumTested",
                 rec(0, 0x0010, {1}) + rec(4, 0, {0, 0}, 1) + kEndRecord, 2,
                 "#[2] checksum error!\n", run(0x0010, {1})},
        HandCase{"BaseRecordOfWrongLength",
                 rec(2, 0, {0x0E}) + rec(0, 0x0010, {1}) + kEndRecord,
                 2,
                 "#[1] malformed record!\n",
                 {}},
        HandCase{"ErasedValueIsData", rec(0, 0xFFFE, {0xFF, 0xFF}) + kEndRecord, 0,
                 "#2 lines parsed, 2 bytes loaded.\n", run(0xFFFE, {0xFF, 0xFF})},
        HandCase{"LaterRecordWinsBothCounted",
                 rec(0, 0x100, {1, 2, 3}) + rec(0, 0x101, {9, 9, 9}) + kEndRecord, 0,
                 "#3 lines parsed, 6 bytes loaded.\n", run(0x100, {1, 9, 9, 9})},
        HandCase{"LowerCaseAndLineEnds", ":02abcd00beefd9\r\n" + kEndRecord, 0,
                 "#2 lines parsed, 2 bytes loaded.\n", run(0xABCD, {0xBE, 0xEF})},
        HandCase{"EveryLineEndCountsOnce",
                 rec(0, 0x10, {1}).substr(0, 13) + "\r" + rec(0, 0x20, {2}).substr(0, 13) + "\r\n" +
                     "\r" + rec(0, 0x30, {3}, 1),
                 2, "#[4] checksum error!\n", run(0x30, {3}, run(0x20, {2}, run(0x10, {1})))},
        HandCase{"EndlessLineAfterRecordIgnored",
                 rec(0, 0x10, {1}).substr(0, 13) + std::string(100000, ' ') + "\n" + kEndRecord, 0,
                 "#2 lines parsed, 1 bytes loaded.\n", run(0x10, {1})},
        HandCase{"ChecksumErrorNamesFileLine",
                 rec(0, 0x10, {1}) + "\n; comment\n  " + rec(0, 0x20, {2}) +
                     rec(0, 0x30, {3, 4}, 1) + rec(0, 0x40, {5}) + kEndRecord,
                 2, "#[5] checksum error!\n", run(0x30, {3, 4}, run(0x10, {1}))},
        HandCase{"EmptyDataRecordChecksumTested",
                 rec(0, 0x10, {}, 1) + kEndRecord,
                 2,
                 "#[1] checksum error!\n",
                 {}},
        HandCase{"LongLinesCountOnce", kLongLineRecord + kLongLineRecord + rec(0, 0x10, {1}, 1), 2,
                 "#[3] checksum error!\n",
                 run(0x10, {1}, run(0x2000, std::vector<int>(255, 0x5A)))},
        HandCase{
            "LastCellLoads",
            rec(0, 0xFF00, std::vector<int>(256 - 1, 0x11)) + rec(0, 0xFFFF, {0x22}) + kEndRecord,
            0, "#3 lines parsed, 256 bytes loaded.\n",
            run(0xFFFF, {0x22}, run(0xFF00, std::vector<int>(255, 0x11)))},
        HandCase{"PastFFFFRefused", rec(0, 0x10, {1}) + rec(0, 0xFFFE, {1, 2, 3}) + kEndRecord, 2,
                 "#[2] record runs past address FFFF!\n", run(0x10, {1})},
        HandCase{"NonHexDigitRefused", ":0100100001EE\n" + rec(0, 0x10, {1}) + ":01001000G1EE\n", 2,
                 "#[3] malformed record!\n", run(0x10, {1})},
        HandCase{"SpaceInPairRefused", ":01001000 1EE\n", 2, "#[1] malformed record!\n", {}},
        HandCase{"FewerPairsThanAnnounced", ":0400100001020304\n", 2, "#[1] malformed record!\n",
                 run(0x10, {1, 2, 3, 4})},
        HandCase{"ChecksumMissing", ":0100100001", 2, "#[1] malformed record!\n", run(0x10, {1})},
        HandCase{"HalfPairAtLineEnd", ":010010000\n", 2, "#[1] malformed record!\n", {}},
        HandCase{"LoneColon", ":\n", 2, "#[1] malformed record!\n", {}}),
    [](const ::testing::TestParamInfo<HandCase>& info) { return info.param.name; });

TEST_F(IntelHex, FilesThatCannotBeReadLeaveTheImageAlone) {
    std::string path = write("keep.hex", rec(0, 0x10, {0x42}) + kEndRecord);
    std::string output;
    ASSERT_EQ(load(path, 0, output), 0);

    EXPECT_EQ(load((dir / "missing.hex").string(), 2, output), 1);
    EXPECT_EQ(output, "#Can't open file " + (dir / "missing.hex").string() + "!\n");
    EXPECT_EQ(load(dir.string(), 2, output), 1);
    EXPECT_EQ(output, "#Can't open file " + dir.string() + "!\n");

    testing::internal::CaptureStdout();
    EXPECT_EQ(loadIntelHex(nullptr, 2), 1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "#Can't open file (none)!\n");

    EXPECT_TRUE(imageIs({{0x10, 0x42}}));
}

TEST_F(IntelHex, EachLoadStartsFromAnEmptyImage) {
    std::string output;
    ASSERT_EQ(load(write("a.hex", rec(0, 0x10, {1, 2}) + kEndRecord), 0, output), 0);
    ASSERT_EQ(load(write("b.hex", rec(0, 0x20, {3}) + kEndRecord), 0, output), 0);
    EXPECT_TRUE(imageIs({{0x20, 3}}));
}

}  // namespace
