// Matching the expected reply text, the capture, the dump, and the two attempts of a command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bsl/frame_exchange.h"
#include "kit/test_bench.h"
#include "serial/modem_exchange.h"
#include "serial/serial_port.h"

using namespace k32;
using platform::kNsPerMs;

namespace {

struct ModemBench : platform::TestBench {
    ModemBench() {
        portHandle = open();
        std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
        log.clear();
    }
    ~ModemBench() { portHandle = INVALID_HANDLE_VALUE; }
};

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(ModemExchange, AwaitReplyMatchesTheExpectedTextInTheStream) {
    struct Case {
        const char* what;
        std::string reply;
        const char* expected;
        int result;
    };
    const Case cases[] = {
        {"text before the match", "\r\nATZ\r\r\nOK\r\n", "OK", 0},
        {"broken match restarts at the first character", "AABC", "ABC", 0},
        {"matcher steps back one character only", "AAAB", "AAB", 1},
        {"partial match at the time-out", "xxO", "OK", 2},
        {"nothing matched", "ERROR\r\n", "OK", 1},
        {"bytes from 0x80 up match as unsigned", "\x01\x80\xFF", "\x80\xFF", 0},
        {"empty expected text is matched at once", "xy", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ModemBench bench;
        bench.peer->sendAt(20 * kNsPerMs, bytesOf(c.reply));
        EXPECT_EQ(awaitReply(500, c.expected), c.result);
        if (c.result != 0) {  // the full time-out, give or take a tick
            EXPECT_GE(bench.clock.nowNs(), 500 * kNsPerMs);
            EXPECT_LE(bench.clock.nowNs(), 501 * kNsPerMs);
        }
    }
}

TEST(ModemExchange, CaptureKeepsTheFirst78Bytes) {
    ModemBench bench;
    std::string reply(100, 'x');
    for (int i = 0; i < 100; ++i) reply[i] = static_cast<char>('A' + i % 26);
    reply += "OK";
    bench.peer->send(bytesOf(reply));
    EXPECT_EQ(awaitReply(1000, "OK"), 0);  // bytes past the capture still count for the match
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ReplyBuffer)), reply.substr(0, 78));
}

TEST(ModemExchange, DumpPrintsTheCaptureAndHexWhenItHoldsOtherBytes) {
    struct Case {
        std::string reply;
        const char* output;
    };
    const Case cases[] = {
        {"OK\r\n", "ACK:\nOK\r\n\n"},
        {"A\tB", "ACK:\nA\tB\n<41><09><42>\n"},
        {"\x80z", "ACK:\n\x80z\n<80><7A>\n"},
        {std::string("NO\0CARRIER", 10), "ACK:\nNO\n<4E><4F><00><43><41><52><52><49><45><52>\n"},
    };
    for (const Case& c : cases) {
        ModemBench bench;
        bench.peer->send(bytesOf(c.reply));
        awaitReply(100, "never");
        testing::internal::CaptureStdout();
        dumpReply();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
    }
}

TEST(ModemExchange, CommandIsTriedTwiceAndDumpedUnlessTwoLetters) {
    struct Case {
        const char* command;
        bool answered;
        bool dumped;
    };
    const Case cases[] = {
        {"AT\r", false, false}, {"ATZ\r", false, true}, {"A", false, true}, {"ATI\r", true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        ModemBench bench;
        if (c.answered)
            bench.peer->onByte = [](platform::ScriptedPeer& peer, std::uint64_t, std::uint8_t b) {
                if (b == '\r') peer.send({'O', 'K'});
            };
        testing::internal::CaptureStdout();
        int result = sendModemCommand(c.command, 200, "OK");
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.answered ? 0 : 1);
        EXPECT_EQ(!out.empty(), c.dumped);
        const std::size_t attempts = c.answered ? 1 : 2;
        EXPECT_EQ(bench.log.named("Sleep").size(), attempts);
        EXPECT_EQ(bench.log.named("WriteFile").size(), attempts * std::strlen(c.command));
        EXPECT_EQ(bench.peer->receivedBytes().size(), attempts * std::strlen(c.command));
    }
}
