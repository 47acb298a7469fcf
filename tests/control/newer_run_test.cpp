// Whole runs on a chip with a newer loader (F5xx, FR5xx, ...), played by a small packet loader of
// this test's own: which family is found, the lines a run prints, what the chip ends up holding,
// and the error number of each failing step.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "bsl/packet_exchange.h"
#include "control/board_run.h"
#include "image/image_download.h"
#include "options/program_options.h"
#include "serial/run_state.h"

#include "kit/scripted_peer.h"
#include "kit/test_port.h"
#include "platform/device.h"
#include "run_harness.h"

using namespace harness;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The chip's side checks and makes its CRCs with the host's own routine: the packet tests hold it
// to the vendor guide's examples byte for byte.
std::uint16_t crc16(const Bytes& b) { return packetCrc(b.data(), static_cast<int>(b.size())); }

// A newer loader: packets in, acknowledge and reply packets out, memory as a map. It starts
// afresh at every change of the control lines (the entry sequence).
class PacketChip : public platform::ScriptedPeer {
public:
    std::map<std::uint32_t, std::uint8_t> memory;
    std::uint16_t reportedBuffer = 0x0104;  // the buffer it says it has (it takes 0x0104)
    bool ownPassword = false;  // the chip's vectors hold a password other than the erased one
    bool silent = false;
    std::map<std::uint8_t, std::uint8_t> ackFor;      // command -> acknowledge instead of 00
    std::map<std::uint8_t, std::uint8_t> messageFor;  // command -> message instead of 00
    std::uint32_t flipAt = ~0u;                       // this byte is stored inverted
    std::vector<std::uint8_t> commands;               // every command core received
    std::uint8_t baudCode = 0;

    PacketChip() {
        onByte = [this](platform::ScriptedPeer&, std::uint64_t t, std::uint8_t b) { take(t, b); };
    }
    void hostLines(std::uint64_t t, bool dtr, bool rts) override {
        ScriptedPeer::hostLines(t, dtr, rts);
        packet_.clear();
        locked_ = true;
    }
    std::uint8_t at(std::uint32_t a) const {
        auto it = memory.find(a);
        return it == memory.end() ? 0xFF : it->second;
    }

private:
    void take(std::uint64_t t, std::uint8_t b) {
        if (silent) return;
        packet_.push_back(b);
        if (packet_[0] != 0x80) return reply(t, {0x51});
        if (packet_.size() < 3) return;
        const std::size_t n = packet_[1] | (packet_[2] << 8);
        if (n > 0x0104) return reply(t, {0x54});
        if (packet_.size() < n + 5) return;
        Bytes core(packet_.begin() + 3, packet_.end() - 2);
        const std::uint16_t crc = crc16(core);
        const bool crcOk = packet_[n + 3] == (crc & 0xFF) && packet_[n + 4] == (crc >> 8);
        packet_.clear();
        if (!crcOk) return reply(t, {0x52});
        commands.push_back(core[0]);
        if (auto it = ackFor.find(core[0]); it != ackFor.end()) return reply(t, {it->second});
        Bytes answer = execute(core);
        answer.insert(answer.begin(), 0x00);
        reply(t, answer);
    }
    static std::uint32_t address(const Bytes& c) { return c[1] | (c[2] << 8) | (c[3] << 16); }
    static Bytes packet(Bytes core) {
        const std::uint16_t crc = crc16(core);
        Bytes p = {0x80, static_cast<std::uint8_t>(core.size()), 0x00};
        p.insert(p.end(), core.begin(), core.end());
        p.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        p.push_back(static_cast<std::uint8_t>(crc >> 8));
        return p;
    }
    Bytes message(std::uint8_t command, std::uint8_t code) {
        if (auto it = messageFor.find(command); it != messageFor.end()) code = it->second;
        return packet({0x3B, code});
    }
    Bytes execute(const Bytes& c) {
        const std::uint8_t cmd = c[0];
        if (cmd == 0x11) {
            if (ownPassword) {
                ownPassword = false;
                memory.clear();
                return message(cmd, 0x05);
            }
            locked_ = false;
            return message(cmd, 0x00);
        }
        if (cmd == 0x52) {
            baudCode = c[1];
            return {};
        }
        if (locked_) return packet({0x3B, 0x04});
        switch (cmd) {
            case 0x15: memory.clear(); return message(cmd, 0x00);
            case 0x19: return packet({0x3A, 0x00, 0x01, 0x00, 0x01});  // version: API for flash
            case 0x1A:
                return packet({0x3A, static_cast<std::uint8_t>(reportedBuffer & 0xFF),
                               static_cast<std::uint8_t>(reportedBuffer >> 8)});
            case 0x10:
                for (std::size_t i = 4; i < c.size(); ++i) {
                    const std::uint32_t a = address(c) + static_cast<std::uint32_t>(i - 4);
                    memory[a] = a == flipAt ? static_cast<std::uint8_t>(~c[i]) : c[i];
                }
                return message(cmd, 0x00);
            case 0x16:
            case 0x18: {
                Bytes data;
                const unsigned n = c[4] | (c[5] << 8);
                for (unsigned i = 0; i < n; ++i) {
                    const std::uint32_t a = address(c) + i;  // the device ID: 5529
                    data.push_back(a == 0x1A04   ? std::uint8_t{0x29}
                                   : a == 0x1A05 ? std::uint8_t{0x55}
                                                 : at(a));
                }
                if (cmd == 0x18) {
                    data.insert(data.begin(), 0x3A);
                    return packet(data);
                }
                const std::uint16_t crc = crc16(data);
                return packet({0x3A, static_cast<std::uint8_t>(crc & 0xFF),
                               static_cast<std::uint8_t>(crc >> 8)});
            }
            case 0x17: return {};
            default: return message(cmd, 0x07);
        }
    }
    void reply(std::uint64_t t, const Bytes& bytes) {
        packet_.clear();
        if (!bytes.empty()) sendAt(t, bytes);
    }

    Bytes packet_;
    bool locked_ = true;
};

const std::string kHead =
    "#Programovani SW pres BSL\n#inicializace komunikace...\n#mazani procesoru...\n";
const std::string kOk = "#konec programovani...\n\nTest OK\n\n";

class NewerRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = makeTempDir();
        opener = platform::serveTestPort("CHIP", chip);
    }
    void TearDown() override { platform::removeDeviceOpener(opener); }
    std::string file(const std::string& name, const std::string& hex) {
        const std::string path = dir + "/" + name;
        writeFile(path, hex);
        return path;
    }
    RunResult run(std::vector<std::string> words) {
        words.insert(words.begin(), {"bsl430", "--device", "CHIP"});
        return h.run(words);
    }

    Harness h;
    std::string dir;
    std::shared_ptr<PacketChip> chip = std::make_shared<PacketChip>();
    int opener = 0;
};

const Bytes kWords = {0x31, 0x40, 0x00, 0x44, 0xB2, 0x40, 0x80, 0x5A, 0x5C, 0x01};

TEST_F(NewerRun, FoundAfterTheClassicSyncAndProgrammed) {
    const std::string fw =
        file("fw.hex", hexRecords(0x4400, kWords) + hexRecords(0xFFFE, {0x00, 0x44}) + hexEnd());
    RunResult r = run({"-v", "on", fw});
    EXPECT_EQ(r.output, kHead +
                            "#CHIP type: 5529\n#BSL ver: 01.00\n#Fast speed...\n"
                            "#programovani noveho SW...\n#Nahravam soubor IntelHEX: " +
                            fw + "\n>4400\r>FFFE\r>4400\r>FFFE\r" + kOk);
    EXPECT_EQ(r.errors, "");
    for (std::size_t i = 0; i < kWords.size(); ++i) EXPECT_EQ(chip->at(0x4400 + i), kWords[i]);
    EXPECT_EQ(chip->at(0xFFFF), 0x44);
    EXPECT_EQ(chip->baudCode, 0x06);
    EXPECT_EQ(h.log.named("SetCommState").back().args.at(0), 115200u);
    // Password, version, mass erase, password, device ID, buffer size, baud, then per block: write
    // and CRC check, and the read-back pass.
    EXPECT_EQ(chip->commands, (Bytes{0x19, 0x11, 0x19, 0x15, 0x11, 0x18, 0x1A, 0x52, 0x10, 0x16,
                                     0x10, 0x16, 0x18, 0x18}));
}

TEST_F(NewerRun, AboveSixtyFourKilobytesAndOnlyThePackets) {
    Bytes big(600);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const std::string fw =
        file("big.hex", ":020000040001F9\n" + hexRecords(0x0000, big) + hexEnd());
    RunResult r = run({"--family", "5xx", "--slow", fw});
    // 600 bytes in blocks of 256: the progress has five digits; no classic byte was sent.
    EXPECT_NE(r.output.find(">10000\r>10100\r>10200\r#konec"), std::string::npos) << r.output;
    EXPECT_EQ(chip->receivedBytes().front(), 0x80);
    EXPECT_EQ(chip->receivedBytes().at(1), 0x01);  // the probe's core length: not a sync
    for (std::size_t i = 0; i < big.size(); ++i) ASSERT_EQ(chip->at(0x10000 + i), big[i]) << i;
    EXPECT_EQ(chip->baudCode, 0);
}

struct FaultCase {
    const char* name;
    std::function<void(PacketChip&)> setUp;
    std::vector<std::string> options;
    int error;          // 0: Test OK; 40: refused before the port opens, nothing reaches the chip
    const char* shown;  // a line the output must hold
    const char* why;    // what standard error must hold
    std::string hex = hexRecords(0x4400, kWords);
};

class NewerRunFault : public NewerRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NewerRunFault, HasTheStepsErrorNumber) {
    const FaultCase& c = GetParam();
    c.setUp(*chip);
    std::vector<std::string> words = c.options;
    words.push_back(file("fw.hex", c.hex + hexEnd()));
    RunResult r = run(words);
    if (c.error == 0)
        EXPECT_NE(r.output.find("Test OK"), std::string::npos) << r.output;
    else
        EXPECT_NE(r.output.find("* Chyba c. " + std::to_string(c.error) + ":"), std::string::npos)
            << r.output;
    EXPECT_NE(r.output.find(c.shown), std::string::npos) << r.output;
    EXPECT_NE(r.errors.find(c.why), std::string::npos) << r.errors;
    if (c.error == 40) {
        EXPECT_TRUE(chip->receivedBytes().empty());
    }
}

const char* const kThreeSilences =
    "#mazani procesoru...\n#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n#Unknown ACK! (FF)\n";
const std::string kAbove64K = ":020000040001F9\n" + hexRecords(0, {1});
const char* const kPastFfff = "#[2] record runs past address FFFF!";
using C = PacketChip&;
void asIs(C) {}
const std::vector<std::string> k5xx = {"--family", "5xx"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, NewerRunFault, ::testing::Values(
    FaultCase{"OwnPasswordErasedThenOpened", [](C c) { c.ownPassword = true; }, {}, 0, "#CHIP type: 5529", ""},
    FaultCase{"SilentBoardTodaysError", [](C c) { c.silent = true; }, {}, 1, kThreeSilences, "did not acknowledge"},
    FaultCase{"PasswordChecksumRefused", [](C c) { c.ackFor[0x11] = 0x52; }, {}, 5, "#mazani procesoru...\n\n", "0x52 (checksum wrong)"},
    FaultCase{"MassEraseFails", [](C c) { c.messageFor[0x15] = 0x02; }, {}, 2, "", "flash fail bit"},
    FaultCase{"BaudCodeRefused", [](C c) { c.ackFor[0x52] = 0x56; }, {}, 26, "#Fast speed...", "unknown baud rate"},
    FaultCase{"WriteRefused", [](C c) { c.messageFor[0x10] = 0x01; }, {}, 41, "#Error (2) sending data @ 4400!", "write check failed"},
    FaultCase{"CRCDiffers", [](C c) { c.flipAt = 0x4403; }, {}, 43, "#Error verifying data @ 4400!", "CRC"},
    FaultCase{"CRCDiffersReadBack", [](C c) { c.flipAt = 0x4403; }, {"-v", "on"}, 43, "#Error verifying data @ 4403!", "CRC"},
    FaultCase{"TinyBuffer", [](C c) { c.reportedBuffer = 3; }, {}, 9, "", "buffer of 3"},
    // Areas a newer chip's image may not touch, refused before the port opens.
    FaultCase{"LoaderArea", asIs, k5xx, 40, "", "0x1000, in the loader's own memory", hexRecords(0x1000, {1, 2})},
    FaultCase{"INFOA", asIs, k5xx, 40, "", "0x19FE, in information memory A", hexRecords(0x19FE, {1, 2})},
    FaultCase{"Peripherals", asIs, k5xx, 40, "", "0x0200, in the peripherals", hexRecords(0x0200, {1}) + kAbove64K},
    // Without the newer family named, a file above 0xFFFF is refused as it always was.
    FaultCase{"AutoAsBefore", asIs, {}, 40, kPastFfff, "", kAbove64K},
    FaultCase{"ClassicAsBefore", asIs, {"--family", "classic"}, 40, kPastFfff, "", kAbove64K}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// A gang's board runs on a thread of its own, whose image starts as zeros and is filled from the
// prepared firmware: the newer chip's checks must look at that, not at the thread's empty image.
TEST_F(NewerRun, BoardThreadSendsItsPreparedImage) {
    std::vector<std::uint16_t> cells(kMemoryImageCells, kEmptyCell);
    for (std::size_t i = 0; i < kWords.size(); ++i) cells[0x4400 + i] = kWords[i];
    resetSettings();
    settings.firmwareFileName = "prepared";
    int outcome = -1;
    testing::internal::CaptureStdout();
    std::thread board([&] {
        setPreparedFirmware(cells.data());
        outcome = programBoardOn(k32::CreateFileA("CHIP", k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                                  nullptr, k32::OPEN_EXISTING, 0, nullptr));
        releaseBoard();
        setPreparedFirmware(nullptr);
    });
    board.join();
    const std::string output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(outcome, 0) << output;
    EXPECT_EQ(chip->at(0x4409), 0x01);
}

}  // namespace
