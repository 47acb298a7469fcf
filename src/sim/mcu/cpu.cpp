#include "sim/mcu/cpu.h"

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

// Values of R3 (and of R2 in the two indirect modes) by As.
constexpr std::uint16_t kConstants3[4] = {0, 1, 2, 0xFFFF};
constexpr std::uint16_t kConstants2[4] = {0, 0, 4, 8};

// Source operand classes, in the order the cycle tables use: register (and constants), @Rn,
// @Rn+ and #N, then X(Rn), EDE and &EDE.
enum SourceClass { kReg, kIndirect, kIncrement, kIndexed };

// Double-operand cycles by source class, for a register destination, PC as destination and a
// memory destination.
constexpr unsigned kToRegister[4] = {1, 2, 2, 3};
constexpr unsigned kToPc[4] = {2, 2, 3, 3};
constexpr unsigned kToMemory[4] = {4, 5, 5, 6};

// Single-operand cycles by operand class: RRA, RRC, SWPB, SXT; PUSH; CALL.
constexpr unsigned kShiftCycles[4] = {1, 3, 3, 4};
constexpr unsigned kPushCycles[4] = {3, 4, 4, 5};
constexpr unsigned kCallCycles[4] = {4, 4, 5, 5};

}  // namespace

std::uint16_t Cpu::fetch() {
    const std::uint16_t word = mcu_.read16(r[0]);
    r[0] = static_cast<std::uint16_t>(r[0] + 2);
    return word;
}

void Cpu::setSr(std::uint16_t value) {
    value &= 0x01FF;
    if ((r[2] ^ value) & kLowPowerBits) {
        // The low-power bits start and stop clocks: the peripherals catch up with the old ones.
        mcu_.clocksChanging();
        r[2] = value;
        mcu_.clocksChanged();
    } else {
        r[2] = value;
    }
}

void Cpu::enterInterrupt(std::uint16_t vectorAddress) {
    r[1] = static_cast<std::uint16_t>(r[1] - 2);
    mcu_.write16(r[1], r[0]);
    r[1] = static_cast<std::uint16_t>(r[1] - 2);
    mcu_.write16(r[1], r[2]);
    setSr(r[2] & kScg0);
    r[0] = mcu_.read16(vectorAddress) & 0xFFFE;
    cycles += 6;
}

void Cpu::run(std::uint64_t limit) {
    while (cycles < limit && !mcu_.stop_) {
        if (sleeping()) break;
        cycles += step();
        ++instructions;
        if (mcu_.requests_) mcu_.takeInterrupt();
    }
}

unsigned Cpu::step() {
    if (sleeping()) return 0;
    const std::uint16_t at = r[0];
    const std::uint16_t op = fetch();
    if (op >= 0x4000) return doubleOperand(op);
    if (op >= 0x2000) {
        // Jumps: a signed 10-bit word offset from the next instruction.
        bool take;
        const std::uint16_t sr = r[2];
        switch ((op >> 10) & 7) {
            case 0: take = !(sr & kZ); break;                // JNE
            case 1: take = (sr & kZ) != 0; break;            // JEQ
            case 2: take = !(sr & kC); break;                // JNC
            case 3: take = (sr & kC) != 0; break;            // JC
            case 4: take = (sr & kN) != 0; break;            // JN
            case 5: take = !(sr & kN) == !(sr & kV); break;  // JGE
            case 6: take = !(sr & kN) != !(sr & kV); break;  // JL
            default: take = true; break;                     // JMP
        }
        if (take) {
            std::int16_t offset = static_cast<std::int16_t>((op & 0x3FF) << 6) >> 6;
            r[0] = static_cast<std::uint16_t>(r[0] + 2 * offset);
        }
        return 2;
    }
    if ((op & 0xFC00) == 0x1000) return singleOperand(op);
    undefined(op, at);
    return 1;
}

void Cpu::undefined(std::uint16_t op, std::uint16_t at) { mcu_.undefinedInstruction(op, at); }

unsigned Cpu::doubleOperand(std::uint16_t op) {
    const unsigned sreg = (op >> 8) & 15;
    const bool byte = (op >> 6) & 1;
    const unsigned as = (op >> 4) & 3;
    const unsigned dreg = op & 15;
    const bool toMemory = (op >> 7) & 1;

    // Source.
    std::uint16_t src;
    SourceClass cls;
    if (sreg == 3) {
        src = kConstants3[as];
        cls = kReg;
    } else if (sreg == 2 && as >= 2) {
        src = kConstants2[as];
        cls = kReg;
    } else {
        switch (as) {
            case 0:
                src = r[sreg];
                cls = kReg;
                break;
            case 1: {
                const std::uint16_t base = sreg == 2 ? 0 : r[sreg];
                const std::uint16_t address = static_cast<std::uint16_t>(base + fetch());
                src = byte ? mcu_.read8(address) : mcu_.read16(address);
                cls = kIndexed;
                break;
            }
            case 2:
                src = byte ? mcu_.read8(r[sreg]) : mcu_.read16(r[sreg]);
                cls = kIndirect;
                break;
            default:
                if (sreg == 0) {
                    src = fetch();
                } else {
                    src = byte ? mcu_.read8(r[sreg]) : mcu_.read16(r[sreg]);
                    r[sreg] = static_cast<std::uint16_t>(r[sreg] + (byte && sreg != 1 ? 1 : 2));
                }
                cls = kIncrement;
                break;
        }
    }
    const std::uint16_t mask = byte ? 0x00FF : 0xFFFF;
    const std::uint16_t msb = byte ? 0x0080 : 0x8000;
    src &= mask;

    // Destination.
    const unsigned opcode = op >> 12;
    std::uint16_t address = 0;
    std::uint16_t dst;
    unsigned cycles;
    if (toMemory) {
        const std::uint16_t base = dreg == 2 ? 0 : r[dreg];
        address = static_cast<std::uint16_t>(base + fetch());
        dst = opcode == 4 ? 0 : (byte ? mcu_.read8(address) : mcu_.read16(address));
        cycles = kToMemory[cls];
    } else {
        dst = r[dreg] & mask;
        cycles = dreg == 0 ? kToPc[cls] : kToRegister[cls];
    }

    std::uint32_t result;
    std::uint16_t sr = r[2];
    bool write = true;
    auto arithmetic = [&](std::uint32_t a, std::uint32_t b, std::uint32_t carry) {
        result = a + b + carry;
        const std::uint16_t res = static_cast<std::uint16_t>(result & mask);
        sr &= static_cast<std::uint16_t>(~(kC | kZ | kN | kV));
        if (result > mask) sr |= kC;
        if (res == 0) sr |= kZ;
        if (res & msb) sr |= kN;
        if (~(a ^ b) & (a ^ res) & msb) sr |= kV;
    };
    auto logic = [&](std::uint16_t res, bool overflow) {
        sr &= static_cast<std::uint16_t>(~(kC | kZ | kN | kV));
        if (res == 0)
            sr |= kZ;
        else
            sr |= kC;
        if (res & msb) sr |= kN;
        if (overflow) sr |= kV;
    };
    switch (opcode) {
        case 4: result = src; break;                           // MOV
        case 5: arithmetic(dst, src, 0); break;                // ADD
        case 6: arithmetic(dst, src, sr & kC); break;          // ADDC
        case 7: arithmetic(dst, ~src & mask, sr & kC); break;  // SUBC
        case 8: arithmetic(dst, ~src & mask, 1); break;        // SUB
        case 9:                                                // CMP
            arithmetic(dst, ~src & mask, 1);
            write = false;
            break;
        case 10: {  // DADD: decimal, digit by digit with the carry in
            unsigned carry = sr & kC;
            result = 0;
            const unsigned digits = byte ? 2 : 4;
            for (unsigned i = 0; i < digits; ++i) {
                unsigned d = ((dst >> (4 * i)) & 15) + ((src >> (4 * i)) & 15) + carry;
                carry = d >= 10;
                if (carry) d = (d + 6) & 15;
                result |= d << (4 * i);
            }
            sr &= static_cast<std::uint16_t>(~(kC | kZ | kN));
            if (carry) sr |= kC;
            if ((result & mask) == 0) sr |= kZ;
            if (result & msb) sr |= kN;
            break;
        }
        case 11:  // BIT
            result = src & dst;
            logic(static_cast<std::uint16_t>(result), false);
            write = false;
            break;
        case 12: result = dst & ~src; break;  // BIC
        case 13: result = dst | src; break;   // BIS
        case 14:                              // XOR
            result = dst ^ src;
            logic(static_cast<std::uint16_t>(result), (src & msb) && (dst & msb));
            break;
        default:  // AND
            result = dst & src;
            logic(static_cast<std::uint16_t>(result), false);
            break;
    }
    if (sr != r[2]) setSr(sr);
    if (!write) return cycles;
    const std::uint16_t value = static_cast<std::uint16_t>(result & mask);
    if (toMemory) {
        if (byte)
            mcu_.write8(address, static_cast<std::uint8_t>(value));
        else
            mcu_.write16(address, value);
    } else if (dreg == 2) {
        setSr(value);
    } else if (dreg <= 1) {
        r[dreg] = value & 0xFFFE;
    } else if (dreg != 3) {
        r[dreg] = value;
    }
    return cycles;
}

unsigned Cpu::singleOperand(std::uint16_t op) {
    const unsigned kind = (op >> 7) & 7;
    const bool byte = (op >> 6) & 1;
    const unsigned as = (op >> 4) & 3;
    const unsigned reg = op & 15;
    const std::uint16_t at = static_cast<std::uint16_t>(r[0] - 2);

    if (kind == 6) {  // RETI
        setSr(mcu_.read16(r[1]));
        r[1] = static_cast<std::uint16_t>(r[1] + 2);
        r[0] = mcu_.read16(r[1]) & 0xFFFE;
        r[1] = static_cast<std::uint16_t>(r[1] + 2);
        return 5;
    }
    if (kind == 7) {
        undefined(op, at);
        return 1;
    }
    // SWPB and SXT have no byte form; their byte encodings act on the word.
    const bool isByte = byte && kind != 1 && kind != 3 && kind != 5;

    // The operand: a register, a constant or a memory location.
    bool inRegister = false;
    bool writable = true;
    std::uint16_t address = 0;
    std::uint16_t value;
    SourceClass cls;
    if (reg == 3 || (reg == 2 && as >= 2)) {
        value = reg == 3 ? kConstants3[as] : kConstants2[as];
        cls = kReg;
        writable = false;
    } else {
        switch (as) {
            case 0:
                inRegister = true;
                value = r[reg];
                cls = kReg;
                break;
            case 1: {
                const std::uint16_t base = reg == 2 ? 0 : r[reg];
                address = static_cast<std::uint16_t>(base + fetch());
                value = isByte ? mcu_.read8(address) : mcu_.read16(address);
                cls = kIndexed;
                break;
            }
            case 2:
                address = r[reg];
                value = isByte ? mcu_.read8(address) : mcu_.read16(address);
                cls = kIndirect;
                break;
            default:
                address = r[reg];
                value = isByte ? mcu_.read8(address) : mcu_.read16(address);
                r[reg] = static_cast<std::uint16_t>(r[reg] + (isByte && reg > 1 ? 1 : 2));
                cls = kIncrement;
                break;
        }
    }
    const std::uint16_t mask = isByte ? 0x00FF : 0xFFFF;
    const std::uint16_t msb = isByte ? 0x0080 : 0x8000;
    value &= mask;

    if (kind == 4) {  // PUSH
        r[1] = static_cast<std::uint16_t>(r[1] - 2);
        if (isByte)
            mcu_.write8(r[1], static_cast<std::uint8_t>(value));
        else
            mcu_.write16(r[1], value);
        return kPushCycles[cls];
    }
    if (kind == 5) {  // CALL
        r[1] = static_cast<std::uint16_t>(r[1] - 2);
        mcu_.write16(r[1], r[0]);
        r[0] = value & 0xFFFE;
        return kCallCycles[cls];
    }

    std::uint16_t sr = r[2];
    std::uint16_t result;
    switch (kind) {
        case 0: {  // RRC
            result = static_cast<std::uint16_t>((value >> 1) | ((sr & kC) ? msb : 0));
            const bool overflow = !(value & msb) && (sr & kC);
            sr &= static_cast<std::uint16_t>(~(kC | kZ | kN | kV));
            if (value & 1) sr |= kC;
            if (overflow) sr |= kV;
            break;
        }
        case 1:  // SWPB
            result = static_cast<std::uint16_t>((value << 8) | (value >> 8));
            break;
        case 2:  // RRA
            result = static_cast<std::uint16_t>((value >> 1) | (value & msb));
            sr &= static_cast<std::uint16_t>(~(kC | kZ | kN | kV));
            if (value & 1) sr |= kC;
            break;
        default:  // SXT
            result = static_cast<std::uint16_t>(static_cast<std::int16_t>(
                static_cast<std::int8_t>(static_cast<std::uint8_t>(value))));
            sr &= static_cast<std::uint16_t>(~(kC | kZ | kN | kV));
            if (result != 0) sr |= kC;
            break;
    }
    if (kind != 1) {
        if ((result & mask) == 0) sr |= kZ;
        if (result & msb) sr |= kN;
        setSr(sr);
    }
    result &= mask;
    if (inRegister) {
        if (reg == 2)
            setSr(result);
        else if (reg <= 1)
            r[reg] = result & 0xFFFE;
        else if (reg != 3)
            r[reg] = result;
    } else if (writable) {
        if (isByte)
            mcu_.write8(address, static_cast<std::uint8_t>(result));
        else
            mcu_.write16(address, result);
    }
    return kShiftCycles[cls];
}

}  // namespace sim::mcu
