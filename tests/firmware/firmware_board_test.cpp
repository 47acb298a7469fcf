// The example firmware on the simulated board: compute prints on the chip exactly what the same C
// prints when built for this computer, hello greets and echoes, and its LED blinks at the rate its
// timer is set up for.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "board.h"
#include "compute_core.h"
#include "support/paths.h"

using namespace firmwaretest;

// The computing part of the compute example, built here for this computer. Its report goes into a
// string; the hardware multiplier is modelled as the family's user's guide describes it: MPY and
// MPYS give the 32-bit product, MAC and MACS add it to RESHI:RESLO; SUMEXT is 0 after MPY, the sign
// extension of the product after MPYS and of the sum after MACS, and the carry out of the sum after
// MAC.
namespace {
std::string nativeReport;
}

void compute_put(char c) { nativeReport += c; }

multiplier_result multiplier(multiplier_op op, std::uint16_t op1, std::uint16_t op2,
                             std::uint32_t accumulator) {
    const bool isSigned = op == OP_MPYS || op == OP_MACS;
    const std::uint32_t product =
        isSigned
            ? static_cast<std::uint32_t>(static_cast<std::int16_t>(op1) *
                                         static_cast<std::int32_t>(static_cast<std::int16_t>(op2)))
            : static_cast<std::uint32_t>(op1) * op2;
    const std::uint64_t sum = std::uint64_t{accumulator} + product;
    const auto sign = [](std::uint32_t v) -> std::uint16_t { return (v >> 31) ? 0xFFFF : 0; };
    switch (op) {
        case OP_MPY: return {product, 0};
        case OP_MPYS: return {product, sign(product)};
        case OP_MAC:
            return {static_cast<std::uint32_t>(sum), static_cast<std::uint16_t>(sum >> 32)};
        default: return {static_cast<std::uint32_t>(sum), sign(static_cast<std::uint32_t>(sum))};
    }
}

namespace {

const std::string kGreeting = "Hello from the MSP430F149. Type, and I echo.\r\n";

std::string example(const char* name) { return testpaths::sourceDir() + "/examples/" + name; }

TEST(FirmwareOnBoard, ComputeMatchesNativeBuild) {
    nativeReport.clear();
    compute_report();
    // Both builds could share a fault; the check value of CRC-16/CCITT is known.
    ASSERT_NE(nativeReport.find("crc16 \"123456789\" = 29B1\r\n"), std::string::npos);

    Board board;
    ASSERT_TRUE(board.load(example("compute.hex")));
    board.reset();
    // About 1.4 KiB at 9600 Bd, plus the computing.
    EXPECT_TRUE(board.runUntil("compute: done\r\n", 20000)) << board.received();
    EXPECT_EQ(board.received(), nativeReport);
}

// P1.0's level changes as the trace records them: time and new level.
std::vector<std::pair<std::uint64_t, bool>> ledChanges(const std::vector<sim::TraceEntry>& trace) {
    static const std::regex kPinChange(R"(P1\.0 .*\b(high|low)\b)");
    std::vector<std::pair<std::uint64_t, bool>> changes;
    std::smatch match;
    for (const sim::TraceEntry& entry : trace)
        if (entry.kind == sim::TraceEntry::Kind::Event &&
            std::regex_search(entry.text, match, kPinChange))
            changes.push_back({entry.timeNs, match[1] == "high"});
    return changes;
}

// hello greets, keeps keys typed during its greeting and echoes them after it, echoes keys typed
// back to back (while its timer interrupt keeps coming), and blinks: Timer_A counts the 32768 Hz
// crystal up to TACCR0 = 16383 and toggles the LED at each wrap, half a second on, half a second
// off; within 1 %.
TEST(FirmwareOnBoard, HelloGreetsEchoesAndBlinks) {
    Board board;
    ASSERT_TRUE(board.load(example("hello.hex")));
    board.reset();
    board.chip->clearTrace();
    board.wait(5);  // the greeting takes about 48 ms at 9600 Bd
    const std::string typedAtOnce = "typed at once";
    board.send(typedAtOnce);
    ASSERT_TRUE(board.runUntil(kGreeting + typedAtOnce, 1000)) << board.received();
    board.wait(1000);
    const std::string keys = "Echo me: 0123456789 \x01\x7F\xFF\r\n";
    board.send(keys);
    board.wait(4000);
    EXPECT_EQ(board.received(), kGreeting + typedAtOnce + keys);

    const auto changes = ledChanges(board.chip->trace());
    ASSERT_GE(changes.size(), 10u) << board.chip->dump();
    for (std::size_t i = 1; i < changes.size(); ++i) {
        EXPECT_NE(changes[i].second, changes[i - 1].second);
        EXPECT_NEAR(double(changes[i].first - changes[i - 1].first) / kMs, 500.0, 5.0);
    }
}

}  // namespace
