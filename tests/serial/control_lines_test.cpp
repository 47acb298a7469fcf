// The reset and TEST line operations in both testMode senses, and the loader entry sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit/test_bench.h"
#include "options/program_options.h"
#include "serial/control_lines.h"
#include "serial/serial_port.h"

using namespace k32;
using platform::kNsPerMs;

namespace {

struct LineBench : platform::TestBench {
    explicit LineBench(int testMode) {
        settings.testMode = testMode;
        portHandle = open();
        log.clear();
    }
    ~LineBench() {
        settings.testMode = 0;
        portHandle = INVALID_HANDLE_VALUE;
    }
    std::vector<std::uint64_t> escapes() const {
        std::vector<std::uint64_t> codes;
        for (const auto& c : log.named("EscapeCommFunction")) codes.push_back(c.args[0]);
        return codes;
    }
};

}  // namespace

TEST(ControlLines, LineOperationsInBothTestModeSenses) {
    struct Case {
        int testMode;
        int resetLevel;  // setResetLine first, then setTestLine
        int testLevel;
        std::vector<std::uint64_t> expect;
    };
    const Case cases[] = {
        {0, 1, 1, {CLRDTR, CLRRTS, CLRDTR}}, {0, 0, 1, {SETDTR, CLRRTS, SETDTR}},
        {0, 0, 0, {SETDTR, SETRTS, SETDTR}}, {0, 5, 0, {CLRDTR, SETRTS, CLRDTR}},
        {1, 1, 1, {CLRDTR, SETRTS, CLRDTR}}, {1, 0, 1, {SETDTR, SETRTS, SETDTR}},
        {1, 0, 0, {SETDTR, CLRRTS, SETDTR}}, {1, -1, 0, {CLRDTR, CLRRTS, CLRDTR}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "testMode " << c.testMode << " reset " << c.resetLevel
                                        << " test " << c.testLevel);
        LineBench bench(c.testMode);
        setResetLine(c.resetLevel);
        EXPECT_EQ(rememberedDtrCode, c.expect[0]);
        setTestLine(c.testLevel);
        EXPECT_EQ(bench.escapes(), c.expect);
    }
}

TEST(ControlLines, EntrySequenceCallsWaitsAndPurge) {
    // The same sequence with testMode off and on; the second run follows an earlier run, so its
    // first DTR call repeats the CLRDTR that run left remembered.
    for (int testMode : {0, 1}) {
        SCOPED_TRACE(testMode);
        LineBench bench(testMode);
        const DWORD rest = testMode ? SETRTS : CLRRTS;
        const DWORD pulse = testMode ? CLRRTS : SETRTS;
        setResetLine(0);
        setTestLine(0);
        // The target chatters while it starts; none of it may be read afterwards.
        bench.peer->sendAt(50 * kNsPerMs, {0x11, 0x22});
        bench.peer->sendAt(400 * kNsPerMs, {0x33});
        bench.peer->sendAt(549 * kNsPerMs, {0x44});
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(run);
            bench.log.clear();
            const std::uint64_t startNs = bench.clock.nowNs();
            enterBootstrapLoader();
            const DWORD firstDtr = run == 0 ? SETDTR : CLRDTR;
            EXPECT_EQ(bench.escapes(),
                      (std::vector<std::uint64_t>{rest, firstDtr, SETDTR, pulse, SETDTR, rest,
                                                  SETDTR, pulse, SETDTR, CLRDTR, rest, CLRDTR}));
            std::vector<std::string> order;
            for (const auto& c : bench.log.calls)
                if (c.name == "Sleep" || c.name == "PurgeComm" || c.name == "SetCommState")
                    order.push_back(c.name + " " + std::to_string(c.args[0]));
            EXPECT_EQ(order, (std::vector<std::string>{"SetCommState 9600", "PurgeComm 15",
                                                       "Sleep 100", "Sleep 100", "Sleep 100",
                                                       "Sleep 250", "PurgeComm 15"}));
            EXPECT_EQ(bench.log.calls.back().name, "PurgeComm");
            EXPECT_GE(bench.clock.nowNs() - startNs, 550 * kNsPerMs);
            EXPECT_EQ(bench.port()->format().parity, EVENPARITY);
            EXPECT_FALSE(bench.port()->dtr());
            EXPECT_EQ(bench.port()->rts(), testMode == 1);
            EXPECT_EQ(readByte(0), 0xFF);
        }
        // What the target saw in the first run (after the three calls before it): reset held
        // while TEST rests 200 ms, two pulses, reset released during the second, TEST at rest.
        auto& lines = bench.peer->lineChanges;
        ASSERT_EQ(lines.size(), 3u + 12u + 12u);
        const bool restRts = testMode == 1;
        EXPECT_TRUE(lines[3].dtr);
        EXPECT_EQ(lines[3].rts, restRts);
        EXPECT_EQ(lines[6].rts, !restRts);
        EXPECT_EQ(lines[6].timeNs - lines[3].timeNs, 200 * kNsPerMs);
        EXPECT_TRUE(lines[11].dtr);
        EXPECT_EQ(lines[11].rts, !restRts);
        EXPECT_FALSE(lines[12].dtr);
        EXPECT_EQ(lines[12].rts, !restRts);
        EXPECT_FALSE(lines[14].dtr);
        EXPECT_EQ(lines[14].rts, restRts);
    }
}
