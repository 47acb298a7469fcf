// Framed exchanges with the loader, against a scripted far end that answers byte for byte and
// against the simulated chip.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>

#include "bsl/loader_line.h"
#include "kit/scripted_peer.h"

using namespace loadertest;

namespace {

const Bytes kMassEraseFrame = {0x80, 0x18, 0x04, 0x04, 0x00, 0xFF, 0x06, 0xA5, 0x7D, 0xB9};
const Bytes kIdentificationFrame = {0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0C, 0x00, 0x87, 0xE0};
const Bytes kTwelveBytes = {0xF1, 0x49, 2, 3, 4, 5, 6, 7, 8, 9, 0x01, 0x61};
constexpr std::uint8_t kUntouched = 0xEE;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

enum class Call { MassErase, Identification };

int exchange(Call call) {
    return call == Call::MassErase
               ? bslExchange(kBslMassErase, 4, kMassEraseAddress, kMassEraseKey, nullptr)
               : bslExchange(kBslTxDataBlock, 4, kIdentificationAddress, kIdentificationLength,
                             nullptr);
}

// A far end that answers the host's n-th byte (counted from 1) with the bytes given for n.
std::shared_ptr<platform::ScriptedPeer> scriptedPeer(std::map<std::size_t, Bytes> script,
                                                     const Bytes& waiting = {}) {
    auto peer = std::make_shared<platform::ScriptedPeer>();
    peer->onByte = [script](platform::ScriptedPeer& p, std::uint64_t t, std::uint8_t) {
        auto it = script.find(p.received.size());
        if (it != script.end()) p.sendAt(t, it->second);
    };
    if (!waiting.empty()) peer->send(waiting);
    return peer;
}

struct ScriptCase {
    const char* name;
    Call call;
    std::map<std::size_t, Bytes> script;
    Bytes waiting;  // bytes already on their way before the exchange
    int result;
    std::string output;
    Bytes sent;                  // everything the host wrote
    std::optional<Bytes> reply;  // ReplyBuffer from byte 0 on; nullopt: left untouched
    double minMs, maxMs;         // virtual time the exchange took
};

class ScriptedExchange : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptedExchange, ResultOutputWireAndReply) {
    const ScriptCase& c = GetParam();
    auto peer = scriptedPeer(c.script, c.waiting);
    LoaderLine line(peer);
    std::memset(ReplyBuffer, kUntouched, sizeof ReplyBuffer);
    double start = line.elapsedMs();
    int result = -1;
    EXPECT_EQ(printedBy([&] { result = exchange(c.call); }), c.output);
    double took = line.elapsedMs() - start;
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(peer->receivedBytes(), c.sent);
    Bytes expected = c.reply ? *c.reply : Bytes{};
    expected.resize(sizeof ReplyBuffer, kUntouched);
    EXPECT_EQ(Bytes(ReplyBuffer, ReplyBuffer + sizeof ReplyBuffer), expected);
    EXPECT_GE(took, c.minMs);
    EXPECT_LT(took, c.maxMs);
}

const std::string FF = "#Unknown ACK! (FF)\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptedExchange,
    ::testing::Values(
        ScriptCase{"FirstTrySync",
                   Call::MassErase,
                   {{1, {0x90}}, {11, {0x90}}},
                   {},
                   0,
                   "",
                   Bytes{0x80} + kMassEraseFrame,
                   std::nullopt,
                   20,
                   40},
        ScriptCase{"SilentLine",
                   Call::MassErase,
                   {},
                   {},
                   1,
                   FF + FF + FF,
                   {0x80, 0x80, 0x80},
                   std::nullopt,
                   300,
                   310},
        ScriptCase{"StrayByteBeforeSync",
                   Call::MassErase,
                   {{2, {0x90}}, {12, {0x90}}},
                   {0x42},
                   0,
                   "#Unknown ACK! (42)\n",
                   Bytes{0x80, 0x80} + kMassEraseFrame,
                   std::nullopt,
                   20,
                   45},
        ScriptCase{"SyncOnThirdAttempt",
                   Call::MassErase,
                   {{3, {0x90}}, {13, {0x90}}},
                   {},
                   0,
                   FF + FF,
                   Bytes{0x80, 0x80, 0x80} + kMassEraseFrame,
                   std::nullopt,
                   220,
                   245},
        ScriptCase{"NegativeAcknowledge",
                   Call::MassErase,
                   {{1, {0x90}}, {11, {0xA0}}},
                   {},
                   2,
                   "#Unknown ACK! (A0)\n",
                   Bytes{0x80} + kMassEraseFrame,
                   std::nullopt,
                   20,
                   40},
        ScriptCase{"NoAnswerToFrame",
                   Call::MassErase,
                   {{1, {0x90}}},
                   {},
                   2,
                   FF,
                   Bytes{0x80} + kMassEraseFrame,
                   std::nullopt,
                   1020,
                   1040},
        ScriptCase{
            "DataReplyOf12",
            Call::Identification,
            {{1, {0x90}}, {11, Bytes{0x80, 0x00, 0x0C, 0x0C} + kTwelveBytes + Bytes{0x5A, 0xA5}}},
            {},
            0,
            "",
            Bytes{0x80} + kIdentificationFrame,
            kTwelveBytes + Bytes{0x5A, 0xA5},
            35,
            60},
        ScriptCase{"DataReplyOf0",
                   Call::Identification,
                   {{1, {0x90}}, {11, {0x80, 0x33, 0x00, 0x00, 0xAB, 0xCD}}},
                   {},
                   0,
                   "",
                   Bytes{0x80} + kIdentificationFrame,
                   Bytes{0xAB, 0xCD},
                   20,
                   45},
        ScriptCase{"LengthBytesDiffer",
                   Call::Identification,
                   {{1, {0x90}}, {11, Bytes{0x80, 0x00, 0x0C, 0x0D} + kTwelveBytes}},
                   {},
                   3,
                   "",
                   Bytes{0x80} + kIdentificationFrame,
                   std::nullopt,
                   20,
                   45},
        ScriptCase{"AcknowledgeWhereDataAsked",
                   Call::Identification,
                   {{1, {0x90}}, {11, {0x90}}},
                   {},
                   0,
                   "",
                   Bytes{0x80} + kIdentificationFrame,
                   std::nullopt,
                   20,
                   40},
        // Both length bytes time out and read as 255: 3 + 257 reads of 100 ms, all stored.
        ScriptCase{"StallAfterReplyStart",
                   Call::Identification,
                   {{1, {0x90}}, {11, {0x80}}},
                   {},
                   0,
                   "",
                   Bytes{0x80} + kIdentificationFrame,
                   Bytes(257, 0xFF),
                   26020,
                   26045}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

TEST(FrameExchange, HeaderFollowsTheAcknowledgeAfterTenMilliseconds) {
    auto peer = scriptedPeer({{1, {0x90}}, {11, {0x90}}});
    LoaderLine line(peer);
    printedBy([] { exchange(Call::MassErase); });
    ASSERT_EQ(peer->received.size(), 11u);
    // Sync out, its acknowledge back (one character each way), the pause, the header's first byte.
    double gapMs = static_cast<double>(peer->received[1].timeNs - peer->received[0].timeNs) /
                   platform::kNsPerMs;
    EXPECT_GE(gapMs, 10 + 2 * 1.14);
    EXPECT_LT(gapMs, 10 + 3 * 1.15);
}

// The constant commands of a programming run, as the simulated chip receives them. Each runs on
// a fresh chip unlocked as the programming run does it.
TEST(FrameExchange, ConstantCommandsReachTheChip) {
    struct {
        const char* name;
        std::uint8_t command;
        std::uint16_t address, lengthField;
        bool invertTest;
        Bytes frame;
    } cases[] = {
        {"mass erase", kBslMassErase, kMassEraseAddress, kMassEraseKey, false, kMassEraseFrame},
        {"identification", kBslTxDataBlock, kIdentificationAddress, kIdentificationLength, false,
         kIdentificationFrame},
        {"load PC",
         kBslLoadPc,
         kRomLoaderRestart,
         0,
         false,
         {0x80, 0x1A, 0x04, 0x04, 0x22, 0x0C, 0x00, 0x00, 0x59, 0xED}},
        {"change baud rate",
         kBslChangeBaudRate,
         kBaud38400Clock,
         kBaud38400Code,
         false,
         {0x80, 0x20, 0x04, 0x04, 0xE0, 0x87, 0x02, 0x00, 0x99, 0x5C}},
        {"change baud rate, test mode",
         kBslChangeBaudRate,
         kBaud38400ClockTest,
         kBaud38400Code,
         true,
         {0x80, 0x20, 0x04, 0x04, 0x80, 0x8C, 0x02, 0x00, 0xF9, 0x57}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimConfig config;
        config.invertTest = c.invertTest;
        auto chip = listeningTarget(config);
        LoaderLine line(chip);
        // On an inverted board TEST rests while RTS is set; the loader ignores bytes during a
        // pulse.
        if (c.invertTest) k32::EscapeCommFunction(portHandle, k32::SETRTS);
        std::memset(ReplyBuffer, kUntouched, sizeof ReplyBuffer);
        std::string output = printedBy([&] {
            ASSERT_EQ(unlockLoader(), 0);
            chip->clearTrace();
            EXPECT_EQ(bslExchange(c.command, 4, c.address, c.lengthField, nullptr), 0);
        });
        EXPECT_EQ(output, "");
        EXPECT_EQ(chip->hostBytes(), Bytes{0x80} + c.frame);
        if (c.command == kBslTxDataBlock) {
            EXPECT_EQ(Bytes(ReplyBuffer, ReplyBuffer + 12), chip->peek(kIdentificationAddress, 12));
        }
    }
}

sim::SimConfig chipWith(sim::FaultType type, int kind, unsigned nth = 1, Bytes bytes = {}) {
    sim::SimConfig config;
    sim::Fault fault;
    fault.type = type;
    fault.kind = kind;
    fault.nth = nth;
    fault.bytes = std::move(bytes);
    config.faults = {fault};
    return config;
}

TEST(FrameExchange, ChipFaults) {
    using sim::FaultType;
    sim::SimConfig silent;
    silent.silent = true;
    struct {
        const char* name;
        sim::SimConfig config;
        int result;
        std::string output;
        double maxMs;
    } cases[] = {
        {"silent chip", silent, 1, FF + FF + FF, 310},
        {"negative acknowledge", chipWith(FaultType::Nack, sim::kCmdTxDataBlock), 2,
         "#Unknown ACK! (A0)\n", 40},
        {"length bytes differ", chipWith(FaultType::LengthMismatch, sim::kCmdTxDataBlock), 3, "",
         60},
        // The third synchronisation: erase and password have had theirs. The exchange reads the
        // stray byte as the answer and synchronises again; the loader, having acknowledged the
        // first 0x80, takes the second as the frame's header, so the frame it gets is malformed.
        {"stray byte before the sync acknowledge",
         chipWith(FaultType::Prefix, sim::kKindSync, 3, {0x42}), 2,
         "#Unknown ACK! (42)\n#Unknown ACK! (A0)\n", 90},
        {"stall after the reply's 0x80", chipWith(FaultType::Stall, sim::kCmdTxDataBlock), 0, "",
         26050},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto chip = listeningTarget(c.config);
        LoaderLine line(chip);
        if (!c.config.silent) printedBy([] { ASSERT_EQ(unlockLoader(), 0); });
        double start = line.elapsedMs();
        int result = -1;
        EXPECT_EQ(printedBy([&] { result = exchange(Call::Identification); }), c.output);
        EXPECT_EQ(result, c.result);
        EXPECT_LT(line.elapsedMs() - start, c.maxMs);
    }
}

}  // namespace
