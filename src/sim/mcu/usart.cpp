// A USART in UART mode. Its bit time is UxBR (UxBR1:UxBR0) periods of the selected clock plus the
// modulation's share (one period for each bit set in UxMCTL, spread over eight bits), so the
// speed the host sees is the average a real modulated UART gives. Characters go to the host's
// line when they start shifting out; the shift register stays busy for the character's length.
#include <bit>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint8_t {
    kSwrst = 0x01,
    kSync = 0x04,
    kChar = 0x10,
    kSpb = 0x20,
    kPev = 0x40,
    kPena = 0x80,
    kTxept = 0x01,
    kRxerr = 0x01,
    kOe = 0x20,
    kFe = 0x80,
};

}  // namespace

void Usart::reset(bool) {
    ctl_ = kSwrst;
    tctl_ = kTxept;
    rctl_ = 0;
    mctl_ = br0_ = br1_ = 0;
    txPending_ = shifting_ = false;
}

bool Usart::active() const { return !(ctl_ & kSwrst) && (mcu_.sfr(sfrMe()) & (rxBit() | txBit())); }

std::uint64_t Usart::bitPs() const {
    std::uint64_t clock;
    switch ((tctl_ >> 4) & 3) {
        case 1: clock = mcu_.clock().aclkPs(); break;
        case 2:
        case 3: clock = mcu_.clock().smclkPs(); break;
        default: clock = 0; break;  // UCLKI: nothing drives it on this board
    }
    const unsigned divider = br0_ | (br1_ << 8);
    return clock * divider + clock * static_cast<unsigned>(std::popcount(mctl_)) / 8;
}

platform::LineFormat Usart::format() const {
    platform::LineFormat f;
    const std::uint64_t bit = bitPs();
    f.baud = bit ? static_cast<std::uint32_t>((1000000000000ull + bit / 2) / bit) : 0;
    f.dataBits = (ctl_ & kChar) ? 8 : 7;
    f.parity = (ctl_ & kPena) ? ((ctl_ & kPev) ? k32::EVENPARITY : k32::ODDPARITY) : k32::NOPARITY;
    f.stopBits = (ctl_ & kSpb) ? k32::TWOSTOPBITS : k32::ONESTOPBIT;
    return f;
}

std::uint16_t Usart::read(std::uint16_t address, bool) {
    switch (address & 7) {
        case 0: return ctl_;
        case 1: return static_cast<std::uint16_t>((tctl_ & ~kTxept) | (shifting_ ? 0 : kTxept));
        case 2: return rctl_;
        case 3: return mctl_;
        case 4: return br0_;
        case 5: return br1_;
        case 6:  // UxRXBUF: reading it clears the flag and the error bits
            mcu_.clearSfrBits(sfrIfg(), rxBit());
            rctl_ = 0;
            return rxbuf_;
        default: return txbuf_;
    }
}

void Usart::write(std::uint16_t address, std::uint16_t value, bool) {
    const auto v = static_cast<std::uint8_t>(value);
    switch (address & 7) {
        case 0:
            ctl_ = v;
            if (ctl_ & kSwrst) {
                mcu_.clearSfrBits(sfrIe(), rxBit() | txBit());
                mcu_.clearSfrBits(sfrIfg(), rxBit());
                mcu_.setSfrBits(sfrIfg(), txBit());
                rctl_ = 0;
                txPending_ = shifting_ = false;
            }
            if (ctl_ & kSync) mcu_.noteOnce("USART in SPI mode: not modelled");
            break;
        case 1: tctl_ = v; break;
        case 2: rctl_ = static_cast<std::uint8_t>((rctl_ & 0xF1) | (v & 0x0E)); break;
        case 3: mctl_ = v; break;
        case 4: br0_ = v; break;
        case 5: br1_ = v; break;
        case 6: break;  // UxRXBUF is read-only
        default:
            txbuf_ = v;
            mcu_.clearSfrBits(sfrIfg(), txBit());
            txPending_ = true;
            if (!shifting_ && !(ctl_ & kSwrst) && (mcu_.sfr(sfrMe()) & txBit())) startShift();
            break;
    }
    if ((address & 7) <= 5) mcu_.usartFormatChanged(index_);
}

void Usart::clocksChanged() { mcu_.usartFormatChanged(index_); }

void Usart::startShift() {
    txPending_ = false;
    mcu_.setSfrBits(sfrIfg(), txBit());
    const platform::LineFormat f = format();
    const std::uint64_t bit = bitPs();
    if (bit == 0) {
        mcu_.noteOnce("USART" + std::to_string(index_) +
                      " sends without a clock: nothing goes out");
        return;
    }
    const unsigned bits = 1 + f.dataBits + (f.parity != k32::NOPARITY) + ((ctl_ & kSpb) ? 2 : 1);
    shifting_ = true;
    shiftEndPs_ = mcu_.nowPs() + bits * bit;
    mcu_.usartTransmit(index_, txbuf_, f);
}

void Usart::event() {
    shifting_ = false;
    if (txPending_ && !(ctl_ & kSwrst) && (mcu_.sfr(sfrMe()) & txBit())) startShift();
}

void Usart::receive(std::optional<std::uint8_t> byte) {
    if ((ctl_ & kSwrst) || !(mcu_.sfr(sfrMe()) & rxBit())) {
        mcu_.noteOnce("USART" + std::to_string(index_) +
                      " receiver off: a byte from the host lost");
        return;
    }
    if (!byte) {
        rctl_ |= kFe | kRxerr;
        if (!(rctl_ & 0x08)) return;  // URXEIE clear: an erroneous character sets no flag
        byte = 0;
    }
    if (mcu_.sfr(sfrIfg()) & rxBit()) rctl_ |= kOe | kRxerr;
    rxbuf_ = *byte;
    mcu_.setSfrBits(sfrIfg(), rxBit());
}

std::uint16_t Usart::requests() const {
    const std::uint8_t pending = mcu_.sfr(sfrIfg()) & mcu_.sfr(sfrIe());
    std::uint16_t r = 0;
    if (pending & rxBit()) r |= 1u << (index_ ? kVecUsart1Rx : kVecUsart0Rx);
    if (pending & txBit()) r |= 1u << (index_ ? kVecUsart1Tx : kVecUsart0Tx);
    return r;
}

void Usart::accepted(int vector) {
    if (vector == (index_ ? kVecUsart1Rx : kVecUsart0Rx)) mcu_.clearSfrBits(sfrIfg(), rxBit());
    if (vector == (index_ ? kVecUsart1Tx : kVecUsart0Tx)) mcu_.clearSfrBits(sfrIfg(), txBit());
}

}  // namespace sim::mcu
