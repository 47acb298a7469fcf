// Downloading MemoryImage into the simulated chip: the blocks on the wire in both modes, the
// read-back comparison, the replacement loader's start, and every failure's message and result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "bsl/loader_line.h"
#include "image/image_download.h"
#include "image/memory_image.h"
#include "options/program_options.h"
#include "support/temp_dir.h"

using namespace loadertest;

namespace {

struct Frame {
    std::uint8_t command;
    std::uint16_t address;
    std::uint16_t length;
    Bytes data;
    bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
    char text[48];
    std::snprintf(text, sizeof text, "{cmd %02X @%04X n=%u data %zu bytes}", f.command, f.address,
                  f.length, f.data.size());
    return out << text;
}

Frame rx(std::uint16_t address, const Bytes& data) {
    return {kBslRxDataBlock, address, static_cast<std::uint16_t>(data.size()), data};
}
Frame tx(std::uint16_t address, std::uint16_t n) { return {kBslTxDataBlock, address, n, {}}; }
Frame loadPc(std::uint16_t address) { return {kBslLoadPc, address, 0, {}}; }

// Splits what the host wrote into frames. Each frame follows one or more synchronisation bytes
// (no command code is 0x80); synchronisation bytes that no frame follows end the list.
std::vector<Frame> framesOn(const Bytes& wire) {
    std::vector<Frame> frames;
    std::size_t i = 0;
    while (i < wire.size()) {
        std::size_t header = i;
        while (header < wire.size() && wire[header] == 0x80) ++header;
        if (header == wire.size()) break;
        if (header - i < 2) {
            ADD_FAILURE() << "no synchronised frame at wire byte " << i;
            break;
        }
        const std::uint8_t* h = &wire[--header];
        std::size_t dataCount = header + 8 <= wire.size() && h[2] >= 4 ? h[2] - 4u : 0;
        if (header + 8 + dataCount + 2 > wire.size()) {
            ADD_FAILURE() << "frame cut short at wire byte " << header;
            break;
        }
        frames.push_back({h[1], static_cast<std::uint16_t>(h[4] | (h[5] << 8)),
                          static_cast<std::uint16_t>(h[6] | (h[7] << 8)),
                          Bytes(h + 8, h + 8 + dataCount)});
        i = header + 8 + dataCount + 2;
    }
    return frames;
}

void clearImage() { std::fill_n(MemoryImage, kMemoryImageCells, kEmptyCell); }
void fillImage(unsigned start, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) MemoryImage[start + i] = bytes[i];
}
Bytes counting(std::size_t count, std::uint8_t first = 1) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
std::string progress(const std::vector<std::uint16_t>& starts) {
    std::string text;
    char line[8];
    for (auto start : starts) {
        std::snprintf(line, sizeof line, ">%04X\r", start);
        text += line;
    }
    return text;
}

sim::Fault fault(sim::FaultType type, int kind, unsigned nth = 1) {
    sim::Fault f;
    f.type = type;
    f.kind = kind;
    f.nth = nth;
    return f;
}
sim::Fault corruptRead(std::uint16_t address) {
    sim::Fault f = fault(sim::FaultType::CorruptRead, sim::kKindAnyCommand);
    f.address = address;
    f.value = 0x04;
    return f;
}

// One download into a fresh, unlocked chip. What the host sends from the download on is
// collected as frames, and what it prints as output.
class Download : public ::testing::Test {
protected:
    void TearDown() override { settings.verifyMode = 0; }

    int run(int mode, int verify, std::vector<sim::Fault> faults = {},
            const char* hexPath = nullptr) {
        sim::SimConfig config;
        config.faults = std::move(faults);
        chip = listeningTarget(config);
        LoaderLine line(chip);
        printedBy([] { ASSERT_EQ(unlockLoader(), 0); });
        chip->clearTrace();
        settings.verifyMode = verify;
        std::memset(ReplyBuffer, 0xA5, sizeof ReplyBuffer);  // stale bytes of earlier replies
        int result = -1;
        output = printedBy(
            [&] { result = hexPath ? programHexFile(hexPath, mode) : downloadImage(mode); });
        frames = framesOn(chip->hostBytes());
        return result;
    }

    // Every cell the download was to send is in the chip; erased flash elsewhere stays erased.
    ::testing::AssertionResult chipHoldsImage(unsigned scanLimit) {
        for (unsigned a = 0; a < 0x10000; ++a) {
            bool sent = a < scanLimit && MemoryImage[a] != kEmptyCell;
            bool erasedFlash = a >= sim::kInfoFlashStart;
            if (!sent && !erasedFlash) continue;
            unsigned want = sent ? MemoryImage[a] : 0xFF;
            if (chip->peek(static_cast<std::uint16_t>(a)) != want)
                return ::testing::AssertionFailure()
                       << "chip byte " << std::hex << a << " is " << unsigned(chip->peek(a))
                       << ", wanted " << want;
        }
        return ::testing::AssertionSuccess();
    }

    std::shared_ptr<sim::SimTarget> chip;
    std::string output;
    std::vector<Frame> frames;
};

struct BlockCase {
    const char* name;
    int mode;
    std::vector<std::pair<unsigned, Bytes>> runs;  // filled cells
    std::vector<Frame> blocks;                     // the RX data blocks expected
    std::optional<std::uint16_t> startAddress;     // Load PC expected (replacement loader)
};

class DownloadBlocks : public Download, public ::testing::WithParamInterface<BlockCase> {};

// Each case runs with read-back on: the verify pass must ask for the very same blocks and print
// the same progress lines.
TEST_P(DownloadBlocks, BlocksOnTheWireAndInTheChip) {
    const BlockCase& c = GetParam();
    clearImage();
    for (const auto& [start, bytes] : c.runs) fillImage(start, bytes);

    EXPECT_EQ(run(c.mode, 1), kDownloadOk);

    std::vector<Frame> expected = c.blocks;
    std::vector<std::uint16_t> starts;
    for (const Frame& b : c.blocks) {
        expected.push_back(tx(b.address, b.length));
        starts.push_back(b.address);
    }
    if (c.startAddress) expected.push_back(loadPc(*c.startAddress));
    EXPECT_EQ(frames, expected);
    EXPECT_EQ(output, progress(starts) + progress(starts));
    EXPECT_TRUE(chipHoldsImage(c.mode == ReplacementLoader ? 0xFFE0 : 0x10000));
}

const Bytes kRun241 = counting(241);

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadBlocks,
    ::testing::Values(
        BlockCase{"EmptyFirmware", Firmware, {}, {}, std::nullopt},
        BlockCase{"EmptyLoaderStartsAtFFFF", ReplacementLoader, {}, {}, 0xFFFF},
        BlockCase{
            "OddCell", Firmware, {{0x1235, {0xAB}}}, {rx(0x1234, {0xFF, 0xAB})}, std::nullopt},
        BlockCase{
            "EvenCell", Firmware, {{0x1234, {0xAB}}}, {rx(0x1234, {0xAB, 0xFF})}, std::nullopt},
        BlockCase{"ErasedValueIsSent",
                  Firmware,
                  {{0x1234, {0xFF}}},
                  {rx(0x1234, {0xFF, 0xFF})},
                  std::nullopt},
        BlockCase{"Run241FromEven",
                  Firmware,
                  {{0x2000, kRun241}},
                  {rx(0x2000, Bytes(kRun241.begin(), kRun241.begin() + 240)),
                   rx(0x20F0, {kRun241[240], 0xFF})},
                  std::nullopt},
        BlockCase{"Run241FromOdd",
                  Firmware,
                  {{0x2001, kRun241}},
                  {rx(0x2000, Bytes{0xFF} + Bytes(kRun241.begin(), kRun241.begin() + 239)),
                   rx(0x20F0, {kRun241[239], kRun241[240]})},
                  std::nullopt},
        BlockCase{"GapsBetweenRuns",
                  Firmware,
                  {{0x1300, {1, 2, 3}}, {0x1304, {4}}, {0x1307, {5}}},
                  {rx(0x1300, {1, 2, 3, 0xFF}), rx(0x1304, {4, 0xFF}), rx(0x1306, {0xFF, 5})},
                  std::nullopt},
        BlockCase{"FirmwareReachesFFFF",
                  Firmware,
                  {{0xFF00, counting(256)}},
                  {rx(0xFF00, counting(240)), rx(0xFFF0, counting(16, 241))},
                  std::nullopt},
        BlockCase{"FirmwareTopCellAlone",
                  Firmware,
                  {{0xFFFF, {0x42}}},
                  {rx(0xFFFE, {0xFF, 0x42})},
                  std::nullopt},
        BlockCase{"LoaderStopsBelowVectors",
                  ReplacementLoader,
                  {{0xFF00, counting(0xFE) + Bytes{0x34, 0x12}}},
                  {rx(0xFF00, counting(0xE0))},
                  0x1234},
        BlockCase{"LoaderRunEndingAtFFDF",
                  ReplacementLoader,
                  {{0xFFDF, {0x77}}, {0xFFE0, counting(32)}},
                  {rx(0xFFDE, {0xFF, 0x77})},
                  0x201F}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return info.param.name; });

TEST_F(Download, ReplacementLoaderStartAddress) {
    struct {
        const char* name;
        std::vector<std::pair<unsigned, Bytes>> cells;
        std::uint16_t start;
    } cases[] = {
        {"reset vector", {{0xFFFE, {0x34, 0x12}}, {0x0220, {0x00, 0x03}}}, 0x1234},
        {"vector low only: word at 0220", {{0xFFFE, {0x34}}, {0x0220, {0x00, 0x03}}}, 0x0300},
        {"vector high only: word at 0220", {{0xFFFF, {0x12}}, {0x0220, {0x10, 0x02}}}, 0x0210},
        {"high fallback cell empty", {{0x0220, {0x10}}}, 0xFF10},
        {"low fallback cell empty", {{0x0221, {0x05}}}, 0xFFFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearImage();
        for (const auto& [start, bytes] : c.cells) fillImage(start, bytes);
        EXPECT_EQ(run(ReplacementLoader, 0), kDownloadOk);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back(), loadPc(c.start));
    }
}

TEST_F(Download, VerifyNamesTheFirstDifferingAddress) {
    // Blocks: 2000 [FF 01 02 03 04 FF], then 3000 (240 bytes) and 30F0 (16 bytes).
    struct {
        const char* name;
        std::uint16_t corrupted;
        std::vector<std::uint16_t> verified;  // blocks read back, the failing one last
    } cases[] = {
        {"leading filler", 0x2000, {0x2000}},
        {"data byte", 0x2003, {0x2000}},
        {"trailing filler", 0x2005, {0x2000}},
        {"second block of a long run", 0x30F3, {0x2000, 0x3000, 0x30F0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearImage();
        fillImage(0x2001, {1, 2, 3, 4});
        fillImage(0x3000, counting(256));
        EXPECT_EQ(run(Firmware, 1, {corruptRead(c.corrupted)}), kDownloadCompareFailed);
        char message[40];
        std::snprintf(message, sizeof message, "#Error verifying data @ %04X!\n", c.corrupted);
        EXPECT_EQ(output, progress({0x2000, 0x3000, 0x30F0}) + progress(c.verified) + message);
        EXPECT_EQ(frames.size(), 3 + c.verified.size());
    }
}

TEST_F(Download, FailuresStopTheDownload) {
    using sim::FaultType;
    struct {
        const char* name;
        int mode;
        sim::Fault fault;
        int result;
        std::string output;
        std::size_t frames;
    } cases[] = {
        {"block refused", ReplacementLoader, fault(FaultType::Nack, sim::kCmdRxDataBlock, 2),
         kDownloadSendFailed,
         progress({0x0200, 0x1100}) + "#Unknown ACK! (A0)\n#Error (2) sending data @ 1100!\n", 2},
        {"loader falls silent", Firmware, fault(FaultType::MuteAfter, sim::kCmdRxDataBlock, 1),
         kDownloadSendFailed,
         progress({0x0200, 0x1100}) + "#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n"
                                      "#Error (1) sending data @ 1100!\n",
         1},
        {"read-back lengths differ", Firmware,
         fault(FaultType::LengthMismatch, sim::kCmdTxDataBlock, 2), kDownloadReadbackFailed,
         progress({0x0200, 0x1100, 0x1200, 0x0200, 0x1100}) +
             "#Error (3) retrieving data @ 1100!\n",
         5},
        {"start refused", ReplacementLoader, fault(FaultType::Nack, sim::kCmdLoadPc),
         kDownloadStartFailed,
         progress({0x0200, 0x1100, 0x1200, 0x0200, 0x1100, 0x1200}) +
             "#Unknown ACK! (A0)\n#Error (2) executing loaded SW!\n",
         7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearImage();
        fillImage(0x0200, {0x10, 0x20});
        fillImage(0x1100, {0x30, 0x40});
        fillImage(0x1200, {0x50, 0x60});
        EXPECT_EQ(run(c.mode, 1, {c.fault}), c.result);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(frames.size(), c.frames);
    }
}

// A TX data block answered by a bare acknowledge leaves ReplyBuffer as it was: the verify pass
// compares against a buffer it cleared, and cleared again behind every matched byte, never
// against bytes of an earlier reply.
TEST_F(Download, VerifyNeverComparesStaleReplyBytes) {
    struct {
        const char* name;
        unsigned acknowledgedRead;  // which read-back gets the bare acknowledge
        std::string output;
    } cases[] = {
        {"bytes left by the identification", 1,
         progress({0x2000, 0x2100, 0x2000}) + "#Error verifying data @ 2000!\n"},
        {"bytes left by the block before", 2,
         progress({0x2000, 0x2100, 0x2000, 0x2100}) + "#Error verifying data @ 2100!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clearImage();
        fillImage(0x2000, {0xA5, 0xA5});
        fillImage(0x2100, {0xA5, 0xA5});
        sim::Fault ack = fault(sim::FaultType::Stray, sim::kCmdTxDataBlock, c.acknowledgedRead);
        ack.value = kBslAck;
        EXPECT_EQ(run(Firmware, 1, {ack}), kDownloadCompareFailed);
        EXPECT_EQ(output, c.output);
    }
}

class HexDownload : public Download {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "dlXXXXXX").string();
        ASSERT_NE(testsupport::makeUniqueDir(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        Download::TearDown();
        std::filesystem::remove_all(dir);
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Data records for `bytes` from `start`, 16 bytes to a record.
    static std::string records(unsigned start, const Bytes& bytes, int spoilChecksum = 0) {
        std::string text;
        char pair[8];
        for (std::size_t i = 0; i < bytes.size(); i += 16) {
            std::size_t n = std::min<std::size_t>(16, bytes.size() - i);
            unsigned address = start + static_cast<unsigned>(i);
            Bytes record =
                Bytes{static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(address >> 8),
                      static_cast<std::uint8_t>(address), 0} +
                Bytes(bytes.begin() + i, bytes.begin() + i + n);
            unsigned sum = 0;
            text += ":";
            for (std::uint8_t b : record) {
                std::snprintf(pair, sizeof pair, "%02X", b);
                text += pair;
                sum += b;
            }
            std::snprintf(pair, sizeof pair, "%02X\n",
                          (0x100 - (sum & 0xFF) + spoilChecksum) & 0xFF);
            text += pair;
        }
        return text;
    }
    std::filesystem::path dir;
};

TEST_F(HexDownload, GoodFileEndsUpInTheChip) {
    Bytes code(0x0E00);
    for (std::size_t i = 0; i < code.size(); ++i)
        code[i] = static_cast<std::uint8_t>(i * 131 + i / 256);
    std::string path =
        write("firmware.hex", records(0x1000, counting(64, 0x40)) + records(0xE001, code) +
                                  records(0xFFE0, counting(32, 0xC0)) + ":00000001FF\n");
    EXPECT_EQ(run(Firmware, 1, {}, path.c_str()), kDownloadOk);
    EXPECT_EQ(output.rfind("#Nahravam soubor IntelHEX: " + path + "\n", 0), 0u);
    EXPECT_EQ(output.find('#', 1), std::string::npos) << output;
    EXPECT_TRUE(chipHoldsImage(0x10000));
}

TEST_F(HexDownload, FileNotLoadedSendsNothing) {
    std::string bad = write("bad.hex", records(0x1100, counting(40)) +
                                           records(0x1200, counting(4), 1) + ":00000001FF\n");
    std::string missing = (dir / "missing.hex").string();
    std::string noData = write("nodata.hex", "not a HEX file\n:00000001FF\n");
    struct {
        std::string path;
        std::string output;
    } cases[] = {
        {bad, "#Nahravam soubor IntelHEX: " + bad + "\n#[4] checksum error!\n"},
        {missing, "#Can't open file " + missing + "!\n"},
        {noData, "#Nahravam soubor IntelHEX: " + noData + "\n#No data in file " + noData + "!\n"},
    };
    for (int mode : {Firmware, ReplacementLoader}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path);
            EXPECT_EQ(run(mode, 1, {}, c.path.c_str()), kDownloadNotLoaded);
            EXPECT_EQ(output, c.output);
            EXPECT_TRUE(frames.empty());
        }
    }
}

}  // namespace
