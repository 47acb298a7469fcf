// The basic clock module. The DCO's frequency follows a table of typical values: one per RSEL at
// DCO step 3, each DCO step about 12 % apart, and MOD mixing in the next step's frequency for
// MOD of every 32 periods.
#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

constexpr std::uint32_t kLfxt1Hz = 32768;
// Typical DCO frequency at DCO step 3, by RSEL.
constexpr double kDcoStep3Hz[8] = {130e3, 210e3, 340e3, 540e3, 800e3, 1.3e6, 2.0e6, 3.2e6};
constexpr double kDcoStepRatio = 1.12;

enum : std::uint8_t {
    kXt2Off = 0x80,
    kDivaShift = 4,
    kDivmShift = 4,
    kSelmShift = 6,
    kSels = 0x08,
    kDivsShift = 1,
};

double dcoStepHz(unsigned rsel, unsigned step) {
    double hz = kDcoStep3Hz[rsel];
    for (unsigned i = 3; i < step; ++i) hz *= kDcoStepRatio;
    for (unsigned i = step; i < 3; ++i) hz /= kDcoStepRatio;
    return hz;
}

}  // namespace

void BasicClock::reset(bool) {
    dcoctl_ = 0x60;
    bcsctl1_ = 0x84;
    bcsctl2_ = 0;
}

std::uint16_t BasicClock::read(std::uint16_t address, bool) {
    switch (address) {
        case 0x56: return dcoctl_;
        case 0x57: return bcsctl1_;
        default: return bcsctl2_;
    }
}

void BasicClock::write(std::uint16_t address, std::uint16_t value, bool) {
    mcu_.clocksChanging();
    switch (address) {
        case 0x56: dcoctl_ = static_cast<std::uint8_t>(value); break;
        case 0x57: bcsctl1_ = static_cast<std::uint8_t>(value); break;
        default: bcsctl2_ = static_cast<std::uint8_t>(value); break;
    }
    mcu_.clocksChanged();
    if (oscillatorFault()) mcu_.setSfrBits(kIfg1, kOfIfg);
    if (bcsctl2_ & 0x01)
        mcu_.noteOnce("DCO with an external resistor: the internal one's table used");
}

std::uint32_t BasicClock::dcoHz() const { return dcoFrequencyHz(dcoctl_, bcsctl1_); }

std::uint32_t dcoFrequencyHz(std::uint8_t dcoctl, std::uint8_t bcsctl1) {
    const unsigned rsel = bcsctl1 & 7;
    const unsigned step = dcoctl >> 5;
    const unsigned mod = step == 7 ? 0 : dcoctl & 31;
    const double hz =
        (dcoStepHz(rsel, step) * (32 - mod) + (mod ? dcoStepHz(rsel, step + 1) * mod : 0.0)) / 32;
    return static_cast<std::uint32_t>(hz + 0.5);
}

bool BasicClock::oscillatorFault() const {
    const bool xt2Used =
        !(bcsctl1_ & kXt2Off) || (bcsctl2_ >> kSelmShift) == 2 || (bcsctl2_ & kSels);
    return xt2Used && xt2Hz_ == 0;
}

std::uint32_t BasicClock::mclkHz() const {
    std::uint32_t hz;
    switch (bcsctl2_ >> kSelmShift) {
        case 2: hz = xt2Hz_ ? xt2Hz_ : dcoHz(); break;  // a failing crystal falls back to the DCO
        case 3: hz = kLfxt1Hz; break;
        default: hz = dcoHz(); break;
    }
    return hz >> ((bcsctl2_ >> kDivmShift) & 3);
}

std::uint32_t BasicClock::smclkHz() const {
    const std::uint32_t hz = (bcsctl2_ & kSels) ? xt2Hz_ : dcoHz();
    return hz >> ((bcsctl2_ >> kDivsShift) & 3);
}

std::uint32_t BasicClock::aclkHz() const { return kLfxt1Hz >> ((bcsctl1_ >> kDivaShift) & 3); }

std::uint64_t BasicClock::mclkPs() const { return periodPs(mclkHz()); }

std::uint64_t BasicClock::smclkPs() const {
    return (mcu_.cpu().sr() & kScg1) ? 0 : periodPs(smclkHz());
}

std::uint64_t BasicClock::aclkPs() const {
    return (mcu_.cpu().sr() & kOscOff) ? 0 : periodPs(aclkHz());
}

}  // namespace sim::mcu
