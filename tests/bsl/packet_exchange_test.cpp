// The newer loaders' packets: the frames of the vendor guide's own examples byte for byte, their
// replies taken apart, and what each broken answer makes of an exchange.
#if defined(__GNUC__) && !defined(__clang__)
// g++ 12 at -O3 takes the empty byte vectors of the case tables for uninitialised when it copies
// them (a known false alarm of -Wmaybe-uninitialized); the tables are plain aggregates.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include "bsl/loader_line.h"
#include "bsl/packet_commands.h"
#include "bsl/packet_exchange.h"
#include "kit/scripted_peer.h"

using namespace loadertest;

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes k32Ff(32, 0xFF);

// A far end that sends `answer` once the host has sent `after` bytes.
std::shared_ptr<platform::ScriptedPeer> answering(std::size_t after, Bytes answer) {
    auto peer = std::make_shared<platform::ScriptedPeer>();
    peer->onByte = [after, answer](platform::ScriptedPeer& p, std::uint64_t t, std::uint8_t) {
        if (p.received.size() == after) p.sendAt(t, answer);
    };
    return peer;
}

struct Command {
    std::uint8_t code;
    bool withAddress;
    std::uint32_t address;
    bool withLength;
    std::uint16_t length;
    Bytes data;
    PacketReply reply;
};

int issue(const Command& c) {
    return packetCommand(c.code, c.withAddress, c.address, c.withLength, c.length,
                         c.data.empty() ? nullptr : c.data.data(), static_cast<int>(c.data.size()),
                         c.reply, 1000);
}

struct GuideCase {
    const char* name;
    Command command;
    Bytes packet;  // what the host must send
    Bytes answer;  // the chip's acknowledge and reply
    Bytes core;    // the reply's core as taken apart
};

class GuideExample : public ::testing::TestWithParam<GuideCase> {};

TEST_P(GuideExample, PacketAndReplyByteForByte) {
    const GuideCase& c = GetParam();
    auto peer = answering(c.packet.size(), c.answer);
    LoaderLine line(peer);
    EXPECT_EQ(issue(c.command), kPacketOk);
    EXPECT_EQ(peer->receivedBytes(), c.packet);
    EXPECT_EQ(Bytes(packetReply, packetReply + packetReplyLength), c.core);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Packets, GuideExample, ::testing::Values(
    GuideCase{"Version", {0x19, false, 0, false, 0, {}, PacketReply::Data},
              {0x80, 0x01, 0x00, 0x19, 0xE8, 0x62},
              {0x00, 0x80, 0x05, 0x00, 0x3A, 0x00, 0x01, 0x01, 0x01, 0x6C, 0x4F}, {0x3A, 0x00, 0x01, 0x01, 0x01}},
    GuideCase{"BufferSize", {0x1A, false, 0, false, 0, {}, PacketReply::Data},
              {0x80, 0x01, 0x00, 0x1A, 0x8B, 0x52}, {0x00, 0x80, 0x03, 0x00, 0x3A, 0x04, 0x01, 0x1D, 0x12}, {0x3A, 0x04, 0x01}},
    GuideCase{"BaudRate9600", {0x52, false, 0, false, 0, {0x02}, PacketReply::None},
              {0x80, 0x02, 0x00, 0x52, 0x02, 0x90, 0x55}, {0x00}, {}},
    GuideCase{"ErasedPassword", {0x11, false, 0, false, 0, k32Ff, PacketReply::Message},
              Bytes{0x80, 0x21, 0x00, 0x11} + k32Ff + Bytes{0x9E, 0xE6}, {0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}, {0x3B, 0x00}},
    GuideCase{"LoadPC0x5C00", {0x17, true, 0x5C00, false, 0, {}, PacketReply::None},
              {0x80, 0x04, 0x00, 0x17, 0x00, 0x5C, 0x00, 0x98, 0x85}, {0x00}, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

struct FaultCase {
    const char* name;
    PacketReply reply;
    Bytes answer;
    int result;
    int message;  // lastPacketMessage() afterwards
};

class BrokenAnswer : public ::testing::TestWithParam<FaultCase> {};

TEST_P(BrokenAnswer, GivesTheStepsResult) {
    const FaultCase& c = GetParam();
    const Command version{0x19, false, 0, false, 0, {}, c.reply};
    auto peer = answering(6, c.answer);
    LoaderLine line(peer);
    testing::internal::CaptureStderr();
    EXPECT_EQ(issue(version), c.result);
    const std::string reason = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lastPacketMessage(), c.message);
    // Every failure says why on standard error.
    EXPECT_EQ(reason.empty(), c.result == kPacketOk) << reason;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Packets, BrokenAnswer, ::testing::Values(
    FaultCase{"Silence", PacketReply::Data, {}, kPacketNoAnswer, 0},
    FaultCase{"ChecksumWrong", PacketReply::Data, {0x52}, kPacketRefused, 0},
    FaultCase{"AcknowledgeOnly", PacketReply::Data, {0x00}, kPacketNoAnswer, 0},
    FaultCase{"ReplyChecksum", PacketReply::Data, {0x00, 0x80, 0x02, 0x00, 0x3B, 0x04, 0x00, 0x00}, kPacketMalformed, 0},
    FaultCase{"ReplyCutShort", PacketReply::Data, {0x00, 0x80, 0x05, 0x00, 0x3A, 0x00}, kPacketMalformed, 0},
    FaultCase{"ReplyTooLong", PacketReply::Data, {0x00, 0x80, 0xFF, 0xFF}, kPacketMalformed, 0},
    FaultCase{"Locked", PacketReply::Data, {0x00, 0x80, 0x02, 0x00, 0x3B, 0x04, 0xE4, 0x84}, kPacketRefused, 4}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
