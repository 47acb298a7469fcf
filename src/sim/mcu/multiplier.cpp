// The hardware multiplier. Writing the first operand to MPY, MPYS, MAC or MACS picks the
// operation; writing OP2 carries it out. Byte writes give an operand with a zero high byte.
#include "sim/mcu/mcu.h"

namespace sim::mcu {

void Multiplier::reset(bool powerOn) {
    if (powerOn) op1_ = op2_ = reslo_ = reshi_ = sumext_ = 0;
    mode_ = 0;
}

std::uint16_t Multiplier::read(std::uint16_t address, bool) {
    switch (address) {
        case 0x138: return op2_;
        case 0x13A: return reslo_;
        case 0x13C: return reshi_;
        case 0x13E: return sumext_;
        default: return op1_;
    }
}

void Multiplier::write(std::uint16_t address, std::uint16_t value, bool) {
    if (address <= 0x136) {
        op1_ = value;
        mode_ = (address - 0x130) / 2;
        return;
    }
    if (address == 0x13A) {
        reslo_ = value;
        return;
    }
    if (address == 0x13C) {
        reshi_ = value;
        return;
    }
    if (address != 0x138) return;  // SUMEXT is read-only
    op2_ = value;
    const std::uint32_t acc = (static_cast<std::uint32_t>(reshi_) << 16) | reslo_;
    std::uint32_t result;
    switch (mode_) {
        case 0:  // MPY
            result = static_cast<std::uint32_t>(op1_) * op2_;
            sumext_ = 0;
            break;
        case 1:  // MPYS
            result = static_cast<std::uint32_t>(
                static_cast<std::int32_t>(static_cast<std::int16_t>(op1_)) *
                static_cast<std::int16_t>(op2_));
            sumext_ = (result & 0x80000000u) ? 0xFFFF : 0;
            break;
        case 2: {  // MAC
            const std::uint64_t sum =
                static_cast<std::uint64_t>(acc) + static_cast<std::uint32_t>(op1_) * op2_;
            result = static_cast<std::uint32_t>(sum);
            sumext_ = static_cast<std::uint16_t>(sum >> 32);
            break;
        }
        default: {  // MACS
            const std::int32_t product =
                static_cast<std::int32_t>(static_cast<std::int16_t>(op1_)) *
                static_cast<std::int16_t>(op2_);
            result = acc + static_cast<std::uint32_t>(product);
            sumext_ = (result & 0x80000000u) ? 0xFFFF : 0;
            break;
        }
    }
    reslo_ = static_cast<std::uint16_t>(result);
    reshi_ = static_cast<std::uint16_t>(result >> 16);
}

}  // namespace sim::mcu
