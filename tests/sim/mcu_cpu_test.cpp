// The CPU's instructions as tables: every addressing mode of source and destination with its
// cycles, the flags of every operation in word and byte form, the single-operand instructions,
// jumps, and interrupt entry and return.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "mcu_board.h"

namespace {

constexpr std::uint16_t kCode = 0xF000;
constexpr std::uint16_t C = sim::mcu::kC, Z = sim::mcu::kZ, N = sim::mcu::kN, V = sim::mcu::kV;

// Encoders: double operand, single operand, jump.
std::uint16_t I(unsigned opcode, unsigned src, unsigned as, unsigned dst, unsigned ad,
                bool b = false) {
    return static_cast<std::uint16_t>(opcode << 12 | src << 8 | ad << 7 | b << 6 | as << 4 | dst);
}
std::uint16_t II(unsigned kind, unsigned as, unsigned reg, bool b = false) {
    return static_cast<std::uint16_t>(0x1000 | kind << 7 | b << 6 | as << 4 | reg);
}
std::uint16_t J(unsigned condition, int words) {
    return static_cast<std::uint16_t>(0x2000 | condition << 10 | (words & 0x3FF));
}
// The offset a PC-relative operand whose extension word lies at `at` needs to reach `target`.
std::uint16_t rel(int target, int at) { return static_cast<std::uint16_t>(target - at); }
enum { MOV = 4, ADD, ADDC, SUBC, SUB, CMP, DADD, BIT, BIC, BIS, XOR, AND };
enum { RRC = 0, SWPB, RRA, SXT, PUSH, CALL, RETI };

using Regs = std::vector<std::pair<int, std::uint16_t>>;
using Words = std::vector<std::pair<std::uint16_t, std::uint16_t>>;

struct Board : mcutest::Board {
    Board() : mcutest::Board(0) {
        code(0xFFFE, {kCode});
        mcu.powerOn(0);
    }
    using mcutest::Board::code;
    void code(const std::vector<std::uint16_t>& words) { code(kCode, words); }
    std::uint16_t& r(int n) { return mcu.cpu().r[n]; }
};

struct Case {
    const char* what;
    std::vector<std::uint16_t> code;
    Regs before;
    Words memoryBefore;
    Regs after;  // r2 here compares only C, Z, N and V
    Words memoryAfter;
    unsigned cycles;
};

void runCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Board b;
        b.code(c.code);
        b.r(1) = 0x0A00;
        for (auto [n, v] : c.before) b.r(n) = v;
        for (auto [a, v] : c.memoryBefore) b.word(a, v);
        EXPECT_EQ(b.mcu.cpu().step(), c.cycles) << c.what;
        for (auto [n, v] : c.after) {
            if (n == 2)
                EXPECT_EQ(b.r(2) & (C | Z | N | V), v) << c.what << ": flags";
            else
                EXPECT_EQ(b.r(n), v) << c.what << ": R" << n;
        }
        for (auto [a, v] : c.memoryAfter)
            EXPECT_EQ(b.word(a), v) << c.what << " at " << std::hex << a;
    }
}

TEST(McuCpu, SourceAndDestinationModesWithTheirCycles) {
    const std::uint16_t pc2 = kCode + 2, pc4 = kCode + 4, pc6 = kCode + 6;
    // One case a row (two where it is long).
    // clang-format off
    runCases({
        // source modes into a register
        {"MOV R5,R6", {I(MOV, 5, 0, 6, 0)}, {{5, 0x1234}}, {}, {{6, 0x1234}, {0, pc2}}, {}, 1},
        {"MOV @R5,R6", {I(MOV, 5, 2, 6, 0)}, {{5, 0x0200}}, {{0x0200, 0xBEEF}},
         {{6, 0xBEEF}, {5, 0x0200}}, {}, 2},
        {"MOV @R5+,R6", {I(MOV, 5, 3, 6, 0)}, {{5, 0x0200}}, {{0x0200, 0xBEEF}},
         {{6, 0xBEEF}, {5, 0x0202}}, {}, 2},
        {"MOV.B @R5+,R6", {I(MOV, 5, 3, 6, 0, true)}, {{5, 0x0201}, {6, 0xFFFF}},
         {{0x0200, 0xBEEF}}, {{6, 0x00BE}, {5, 0x0202}}, {}, 2},
        {"MOV.B @SP+,R6 steps SP by 2", {I(MOV, 1, 3, 6, 0, true)}, {{1, 0x0300}},
         {{0x0300, 0x1234}}, {{6, 0x34}, {1, 0x0302}}, {}, 2},
        {"MOV 4(R5),R6", {I(MOV, 5, 1, 6, 0), 4}, {{5, 0x0200}}, {{0x0204, 0x5555}},
         {{6, 0x5555}, {0, pc4}}, {}, 3},
        {"MOV EDE,R6 (PC-relative)", {I(MOV, 0, 1, 6, 0), rel(0x0200, kCode + 2)}, {},
         {{0x0200, 0x7777}}, {{6, 0x7777}}, {}, 3},
        {"MOV &0200,R6", {I(MOV, 2, 1, 6, 0), 0x0200}, {}, {{0x0200, 0x4242}},
         {{6, 0x4242}}, {}, 3},
        {"MOV #1234,R6", {I(MOV, 0, 3, 6, 0), 0x1234}, {}, {}, {{6, 0x1234}, {0, pc4}}, {}, 2},
        {"MOV #0,R6 (R3)", {I(MOV, 3, 0, 6, 0)}, {{6, 9}}, {}, {{6, 0}, {0, pc2}}, {}, 1},
        {"MOV #1,R6 (R3)", {I(MOV, 3, 1, 6, 0)}, {}, {}, {{6, 1}, {0, pc2}}, {}, 1},
        {"MOV #2,R6 (R3)", {I(MOV, 3, 2, 6, 0)}, {}, {}, {{6, 2}}, {}, 1},
        {"MOV #-1,R6 (R3)", {I(MOV, 3, 3, 6, 0)}, {}, {}, {{6, 0xFFFF}}, {}, 1},
        {"MOV #4,R6 (R2)", {I(MOV, 2, 2, 6, 0)}, {}, {}, {{6, 4}, {0, pc2}}, {}, 1},
        {"MOV #8,R6 (R2)", {I(MOV, 2, 3, 6, 0)}, {}, {}, {{6, 8}}, {}, 1},
        {"MOV.B #-1,R6 keeps a byte", {I(MOV, 3, 3, 6, 0, true)}, {}, {}, {{6, 0x00FF}}, {}, 1},
        // into PC
        {"MOV R5,PC", {I(MOV, 5, 0, 0, 0)}, {{5, 0x1235}}, {}, {{0, 0x1234}}, {}, 2},
        {"MOV @R5,PC", {I(MOV, 5, 2, 0, 0)}, {{5, 0x0200}}, {{0x0200, 0x3000}},
         {{0, 0x3000}}, {}, 2},
        {"MOV @SP+,PC (RET)", {I(MOV, 1, 3, 0, 0)}, {{1, 0x0300}}, {{0x0300, 0xF100}},
         {{0, 0xF100}, {1, 0x0302}}, {}, 3},
        {"MOV #N,PC (BR)", {I(MOV, 0, 3, 0, 0), 0xF200}, {}, {}, {{0, 0xF200}}, {}, 3},
        {"MOV &EDE,PC", {I(MOV, 2, 1, 0, 0), 0x0200}, {}, {{0x0200, 0xF300}}, {{0, 0xF300}}, {}, 3},
        // into memory
        {"MOV R5,2(R6)", {I(MOV, 5, 0, 6, 1), 2}, {{5, 0xAAAA}, {6, 0x0200}}, {},
         {{0, pc4}}, {{0x0202, 0xAAAA}}, 4},
        {"MOV R5,EDE", {I(MOV, 5, 0, 0, 1), rel(0x0210, kCode + 2)}, {{5, 0x1111}}, {},
         {}, {{0x0210, 0x1111}}, 4},
        {"MOV R5,&0210", {I(MOV, 5, 0, 2, 1), 0x0210}, {{5, 0x2222}}, {},
         {}, {{0x0210, 0x2222}}, 4},
        {"MOV @R5,&0210", {I(MOV, 5, 2, 2, 1), 0x0210}, {{5, 0x0200}}, {{0x0200, 9}},
         {}, {{0x0210, 9}}, 5},
        {"MOV @R5+,0(R6)", {I(MOV, 5, 3, 6, 1), 0}, {{5, 0x0200}, {6, 0x0220}}, {{0x0200, 7}},
         {{5, 0x0202}}, {{0x0220, 7}}, 5},
        {"MOV #N,&0210", {I(MOV, 0, 3, 2, 1), 0xCAFE, 0x0210}, {}, {},
         {{0, pc6}}, {{0x0210, 0xCAFE}}, 5},
        {"MOV 2(R5),4(R6)", {I(MOV, 5, 1, 6, 1), 2, 4}, {{5, 0x0200}, {6, 0x0220}},
         {{0x0202, 0x3333}}, {{0, pc6}}, {{0x0224, 0x3333}}, 6},
        {"MOV EDE,EDE (both PC-relative)",
         {I(MOV, 0, 1, 0, 1), rel(0x0200, kCode + 2), rel(0x0230, kCode + 4)},
         {},
         {{0x0200, 0x4444}},
         {},
         {{0x0230, 0x4444}},
         6},
        {"ADD &0200,&0202", {I(ADD, 2, 1, 2, 1), 0x0200, 0x0202}, {}, {{0x0200, 5}, {0x0202, 6}},
         {}, {{0x0202, 11}}, 6},
        {"ADD.B R5,&0201 (odd byte)", {I(ADD, 5, 0, 2, 1, true), 0x0201}, {{5, 0x0101}},
         {{0x0200, 0x0203}}, {}, {{0x0200, 0x0303}}, 4},
        {"word access to an odd address uses the even one", {I(MOV, 5, 2, 6, 0)}, {{5, 0x0201}},
         {{0x0200, 0xABCD}}, {{6, 0xABCD}}, {}, 2},
        {"writes to R3 vanish", {I(MOV, 5, 0, 3, 0)}, {{5, 7}}, {}, {{3, 0}}, {}, 1},
        {"SP stays even", {I(MOV, 5, 0, 1, 0)}, {{5, 0x0301}}, {}, {{1, 0x0300}}, {}, 1},
        // Erased flash, 0xFFFF: AND.B @R15+,-1(R15), two words, and nothing that stops the CPU.
        {"erased flash", {0xFFFF, 0xFFFF}, {{15, 0x0200}}, {{0x0200, 0x0F0F}},
         {{0, pc4}, {15, 0x0201}}, {{0x0200, 0x0F0F}}, 5},
    });
    // clang-format on
}

TEST(McuCpu, DoubleOperandFlags) {
    auto op = [](unsigned opcode, bool b = false) {
        return std::vector<std::uint16_t>{I(opcode, 5, 0, 6, 0, b)};
    };
    // One case a row (two where it is long).
    // clang-format off
    runCases({
        {"ADD", op(ADD), {{5, 1}, {6, 2}}, {}, {{6, 3}, {2, 0}}, {}, 1},
        {"ADD carry and zero", op(ADD), {{5, 1}, {6, 0xFFFF}}, {}, {{6, 0}, {2, C | Z}}, {}, 1},
        {"ADD positive overflow", op(ADD), {{5, 0x7FFF}, {6, 1}}, {},
         {{6, 0x8000}, {2, N | V}}, {}, 1},
        {"ADD negative overflow", op(ADD), {{5, 0x8000}, {6, 0x8000}}, {},
         {{6, 0}, {2, C | Z | V}}, {}, 1},
        {"ADD.B clears the high byte", op(ADD, true), {{5, 0x12FF}, {6, 0x3401}}, {},
         {{6, 0}, {2, C | Z}}, {}, 1},
        {"ADD.B overflow at bit 7", op(ADD, true), {{5, 0x7F}, {6, 1}}, {},
         {{6, 0x80}, {2, N | V}}, {}, 1},
        {"ADDC adds the carry", op(ADDC), {{2, C}, {5, 1}, {6, 1}}, {}, {{6, 3}, {2, 0}}, {}, 1},
        {"ADDC carry through", op(ADDC), {{2, C}, {5, 0xFFFF}, {6, 0}}, {},
         {{6, 0}, {2, C | Z}}, {}, 1},
        {"SUB no borrow sets C", op(SUB), {{5, 1}, {6, 3}}, {}, {{6, 2}, {2, C}}, {}, 1},
        {"SUB borrow clears C", op(SUB), {{5, 3}, {6, 1}}, {}, {{6, 0xFFFE}, {2, N}}, {}, 1},
        {"SUB equal", op(SUB), {{5, 5}, {6, 5}}, {}, {{6, 0}, {2, C | Z}}, {}, 1},
        {"SUB overflow", op(SUB), {{5, 1}, {6, 0x8000}}, {}, {{6, 0x7FFF}, {2, C | V}}, {}, 1},
        {"SUB.B", op(SUB, true), {{5, 0x01}, {6, 0x0180}}, {}, {{6, 0x7F}, {2, C | V}}, {}, 1},
        {"SUBC with carry is SUB", op(SUBC), {{2, C}, {5, 1}, {6, 3}}, {}, {{6, 2}, {2, C}}, {}, 1},
        {"SUBC without carry borrows one more", op(SUBC), {{5, 1}, {6, 3}}, {},
         {{6, 1}, {2, C}}, {}, 1},
        {"SUBC.B", op(SUBC, true), {{5, 0}, {6, 0}}, {}, {{6, 0xFF}, {2, N}}, {}, 1},
        {"CMP leaves the destination", op(CMP), {{5, 4}, {6, 3}}, {}, {{6, 3}, {2, N}}, {}, 1},
        {"CMP overflow", op(CMP), {{5, 0x8000}, {6, 0}}, {}, {{6, 0}, {2, N | V}}, {}, 1},
        {"DADD", op(DADD), {{5, 0x0019}, {6, 0x0023}}, {}, {{6, 0x0042}, {2, 0}}, {}, 1},
        {"DADD carry out", op(DADD), {{5, 0x9999}, {6, 0x0001}}, {}, {{6, 0}, {2, C | Z}}, {}, 1},
        {"DADD carry in and N", op(DADD), {{2, C}, {5, 0x4000}, {6, 0x4000}}, {},
         {{6, 0x8001}, {2, N}}, {}, 1},
        {"DADD.B", op(DADD, true), {{5, 0x55}, {6, 0x0155}}, {}, {{6, 0x10}, {2, C}}, {}, 1},
        {"AND", op(AND), {{5, 0xFF00}, {6, 0x8F0F}}, {}, {{6, 0x8F00}, {2, N | C}}, {}, 1},
        {"AND zero", op(AND), {{5, 0x00F0}, {6, 0x0F0F}}, {}, {{6, 0}, {2, Z}}, {}, 1},
        {"AND.B", op(AND, true), {{5, 0xFFFF}, {6, 0xFF80}}, {}, {{6, 0x80}, {2, N | C}}, {}, 1},
        {"BIT leaves the destination", op(BIT), {{5, 0x0001}, {6, 0x0003}}, {},
         {{6, 3}, {2, C}}, {}, 1},
        {"BIT zero", op(BIT), {{2, C | V}, {5, 0x0004}, {6, 0x0003}}, {}, {{2, Z}}, {}, 1},
        {"XOR", op(XOR), {{5, 0x0F0F}, {6, 0x00FF}}, {}, {{6, 0x0FF0}, {2, C}}, {}, 1},
        {"XOR both negative sets V", op(XOR), {{5, 0x8001}, {6, 0x8001}}, {},
         {{6, 0}, {2, Z | V}}, {}, 1},
        {"XOR.B", op(XOR, true), {{5, 0x80}, {6, 0x01}}, {}, {{6, 0x81}, {2, N | C}}, {}, 1},
        {"BIC keeps flags", op(BIC), {{2, C | Z | N | V}, {5, 0x00FF}, {6, 0x1234}}, {},
         {{6, 0x1200}, {2, C | Z | N | V}}, {}, 1},
        {"BIS keeps flags", op(BIS), {{5, 0x0F00}, {6, 0x00F0}}, {}, {{6, 0x0FF0}, {2, 0}}, {}, 1},
        {"BIS.B", op(BIS, true), {{5, 0x0F00}, {6, 0x12F0}}, {}, {{6, 0x00F0}}, {}, 1},
        {"MOV keeps flags", op(MOV), {{2, C | N}, {5, 0}}, {}, {{6, 0}, {2, C | N}}, {}, 1},
    });
    // clang-format on
}

TEST(McuCpu, SingleOperandInstructions) {
    // One case a row (two where it is long).
    // clang-format off
    runCases({
        {"RRA", {II(RRA, 0, 6)}, {{6, 0x8003}}, {}, {{6, 0xC001}, {2, C | N}}, {}, 1},
        {"RRA to zero", {II(RRA, 0, 6)}, {{2, V}, {6, 0x0001}}, {}, {{6, 0}, {2, C | Z}}, {}, 1},
        {"RRA.B", {II(RRA, 0, 6, true)}, {{6, 0x1280}}, {}, {{6, 0xC0}, {2, N}}, {}, 1},
        {"RRC shifts the carry in", {II(RRC, 0, 6)}, {{2, C}, {6, 0x0002}}, {},
         {{6, 0x8001}, {2, N | V}}, {}, 1},
        {"RRC negative with carry: no V", {II(RRC, 0, 6)}, {{2, C}, {6, 0x8001}}, {},
         {{6, 0xC000}, {2, C | N}}, {}, 1},
        {"RRC without carry", {II(RRC, 0, 6)}, {{6, 0x0001}}, {}, {{6, 0}, {2, C | Z}}, {}, 1},
        {"RRC.B", {II(RRC, 0, 6, true)}, {{2, C}, {6, 0x0100}}, {}, {{6, 0x80}, {2, N | V}}, {}, 1},
        {"SWPB keeps flags", {II(SWPB, 0, 6)}, {{2, Z}, {6, 0x1234}}, {},
         {{6, 0x3412}, {2, Z}}, {}, 1},
        {"SXT negative", {II(SXT, 0, 6)}, {{6, 0x0080}}, {}, {{6, 0xFF80}, {2, N | C}}, {}, 1},
        {"SXT positive", {II(SXT, 0, 6)}, {{6, 0xFF7F}}, {}, {{6, 0x007F}, {2, C}}, {}, 1},
        {"SXT zero", {II(SXT, 0, 6)}, {{2, V}, {6, 0xFF00}}, {}, {{6, 0}, {2, Z}}, {}, 1},
        {"RRA @R6", {II(RRA, 2, 6)}, {{6, 0x0200}}, {{0x0200, 4}}, {}, {{0x0200, 2}}, 3},
        {"RRA @R6+", {II(RRA, 3, 6)}, {{6, 0x0200}}, {{0x0200, 4}},
         {{6, 0x0202}}, {{0x0200, 2}}, 3},
        {"SWPB 2(R6)", {II(SWPB, 1, 6), 2}, {{6, 0x0200}}, {{0x0202, 0xAABB}},
         {}, {{0x0202, 0xBBAA}}, 4},
        {"SXT &0200", {II(SXT, 1, 2), 0x0200}, {}, {{0x0200, 0x00FF}}, {}, {{0x0200, 0xFFFF}}, 4},
        {"PUSH R6", {II(PUSH, 0, 6)}, {{6, 0x1234}}, {}, {{1, 0x09FE}}, {{0x09FE, 0x1234}}, 3},
        {"PUSH.B R6", {II(PUSH, 0, 6, true)}, {{6, 0x1234}}, {{0x09FE, 0xAAAA}},
         {{1, 0x09FE}}, {{0x09FE, 0xAA34}}, 3},
        {"PUSH @R6", {II(PUSH, 2, 6)}, {{6, 0x0200}}, {{0x0200, 0x5678}},
         {}, {{0x09FE, 0x5678}}, 4},
        {"PUSH @R6+", {II(PUSH, 3, 6)}, {{6, 0x0200}}, {{0x0200, 0x5678}},
         {{6, 0x0202}}, {{0x09FE, 0x5678}}, 4},
        {"PUSH #N", {II(PUSH, 3, 0), 0x9999}, {}, {}, {{0, kCode + 4}}, {{0x09FE, 0x9999}}, 4},
        {"PUSH 2(R6)", {II(PUSH, 1, 6), 2}, {{6, 0x0200}}, {{0x0202, 0x4321}},
         {}, {{0x09FE, 0x4321}}, 5},
        {"PUSH &EDE", {II(PUSH, 1, 2), 0x0200}, {}, {{0x0200, 0x1111}}, {}, {{0x09FE, 0x1111}}, 5},
        {"CALL R6", {II(CALL, 0, 6)}, {{6, 0xF100}}, {},
         {{0, 0xF100}, {1, 0x09FE}}, {{0x09FE, kCode + 2}}, 4},
        {"CALL @R6", {II(CALL, 2, 6)}, {{6, 0x0200}}, {{0x0200, 0xF100}},
         {{0, 0xF100}}, {{0x09FE, kCode + 2}}, 4},
        {"CALL @R6+", {II(CALL, 3, 6)}, {{6, 0x0200}}, {{0x0200, 0xF100}},
         {{0, 0xF100}, {6, 0x0202}}, {}, 5},
        {"CALL #N", {II(CALL, 3, 0), 0xF200}, {}, {}, {{0, 0xF200}}, {{0x09FE, kCode + 4}}, 5},
        {"CALL 2(R6)", {II(CALL, 1, 6), 2}, {{6, 0x0200}}, {{0x0202, 0xF300}},
         {{0, 0xF300}}, {{0x09FE, kCode + 4}}, 5},
        {"CALL &EDE", {II(CALL, 1, 2), 0x0200}, {}, {{0x0200, 0xF400}}, {{0, 0xF400}}, {}, 5},
        {"RETI", {II(RETI, 0, 0)}, {{1, 0x0300}}, {{0x0300, 0x0105}, {0x0302, 0xF500}},
         {{0, 0xF500}, {1, 0x0304}, {2, C | N | V}}, {}, 5},
        {"undefined opcode skipped", {0x0123}, {}, {}, {{0, kCode + 2}}, {}, 1},
    });
    // clang-format on
}

TEST(McuCpu, JumpsFollowTheirConditions) {
    struct JumpCase {
        unsigned condition;
        std::uint16_t sr;
        bool taken;
    };
    const JumpCase cases[] = {
        {0, 0, true},      {0, Z, false},    {1, Z, true},  {1, 0, false}, {2, 0, true},
        {2, C, false},     {3, C, true},     {3, 0, false}, {4, N, true},  {4, 0, false},
        {5, 0, true},      {5, N | V, true}, {5, N, false}, {6, N, true},  {6, V, true},
        {6, N | V, false}, {7, 0, true},
    };
    for (const JumpCase& c : cases) {
        for (int offset : {5, -3}) {
            Board b;
            b.code({J(c.condition, offset)});
            b.r(2) = c.sr;
            EXPECT_EQ(b.mcu.cpu().step(), 2u);
            const std::uint16_t expected =
                c.taken ? static_cast<std::uint16_t>(kCode + 2 + 2 * offset) : kCode + 2;
            EXPECT_EQ(b.r(0), expected) << "condition " << c.condition << " sr " << c.sr;
        }
    }
}

}  // namespace
