// Marked input back to the bytes as received, whole and cut into pieces at every point.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/tty/parity_marks.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes unmarkInPieces(const Bytes& marked, std::size_t cut) {
    platform::ParityMarks marks;
    Bytes out(marked.size() + 1);
    std::size_t n = marks.unmark(marked.data(), cut, out.data());
    Bytes result(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    n = marks.unmark(marked.data() + cut, marked.size() - cut, out.data());
    result.insert(result.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return result;
}

}  // namespace

TEST(ParityMarks, GiveTheBytesAsReceived) {
    struct Case {
        const char* what;
        Bytes marked, received;
    };
    const Case cases[] = {
        {"plain bytes", {0x80, 0x90, 0x00, 0x7F}, {0x80, 0x90, 0x00, 0x7F}},
        {"a received FF", {0x12, 0xFF, 0xFF, 0x34}, {0x12, 0xFF, 0x34}},
        {"erased flash read back", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
        {"a byte with a parity error", {0x80, 0xFF, 0x00, 0x90, 0x11}, {0x80, 0x90, 0x11}},
        {"an FF with a parity error", {0xFF, 0x00, 0xFF, 0xFF, 0xFF}, {0xFF, 0xFF}},
        {"a break", {0xFF, 0x00, 0x00, 0x41}, {0x00, 0x41}},
        {"a marked FF 00", {0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x00}, {0xFF, 0x00}},
        {"FF and a byte no mark has: both kept", {0xFF, 0x41, 0x42}, {0xFF, 0x41, 0x42}},
    };
    for (const Case& c : cases)
        for (std::size_t cut = 0; cut <= c.marked.size(); ++cut)
            EXPECT_EQ(unmarkInPieces(c.marked, cut), c.received) << c.what << ", cut at " << cut;

    // A purge forgets a mark begun before it.
    platform::ParityMarks marks;
    std::uint8_t out[4];
    const std::uint8_t begun[] = {0x55, 0xFF, 0x00};
    EXPECT_EQ(marks.unmark(begun, 3, out), 1u);
    marks.reset();
    const std::uint8_t after[] = {0x90, 0x91};
    ASSERT_EQ(marks.unmark(after, 2, out), 2u);
    EXPECT_EQ(out[0], 0x90);
    EXPECT_EQ(out[1], 0x91);
}
