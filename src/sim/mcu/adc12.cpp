// The ADC12. A conversion samples its input for the sample-and-hold time the SHT bits give in
// ADC12CLK cycles, holds it, and takes 13 more cycles to convert; the result goes to the
// ADC12MEMx that ADC12MCTLx describes, with its flag. The four modes step through the memory
// registers from CSTARTADD: one conversion, a sequence up to the register marked EOS, one channel
// over and over, or the sequence over and over.
//
// Conversions start from ADC12SC (SHS = 0): in pulse mode (SHP = 1) the sample time is timed and
// ADC12SC clears itself; in extended mode the sample lasts until firmware clears ADC12SC. With MSC
// a sequence or repetition goes on by itself after the first start; without it every conversion
// waits for the next ADC12SC. The inputs are what the board sets (analog_input.h); the internal
// reference gives 1.5 V or 2.5 V while REFON is set; the temperature sensor follows the F149 data
// sheet's typical line, 986 mV + 3.55 mV/°C, and needs the reference on. The registers keep their
// values through a PUC, and the memory registers through any reset.
#include <cmath>

#include "sim/mcu/mcu.h"

namespace sim::mcu {
namespace {

enum : std::uint16_t {
    kAdc12Sc = 0x0001,
    kEnc = 0x0002,
    kTovIe = 0x0004,
    kOvIe = 0x0008,
    kAdc12On = 0x0010,
    kRefOn = 0x0020,
    kRef2_5V = 0x0040,
    kMsc = 0x0080,
    kBusy = 0x0001,
    kShp = 0x0200,
    kConseq = 0x0006,
    kEos = 0x80,
};
// Bits firmware may change while ENC is set; the others keep their values then.
constexpr std::uint16_t kCtl0Free = kAdc12Sc | kEnc | kTovIe | kOvIe;
constexpr std::uint16_t kCtl1Free = kConseq;

constexpr std::uint16_t kMctl0 = 0x0080, kMem0 = 0x0140, kCtl0 = 0x01A0, kCtl1 = 0x01A2,
                        kIfg = 0x01A4, kIe = 0x01A6, kIv = 0x01A8;

constexpr std::uint64_t kOscPs = 200000;  // ADC12OSC, typically 5 MHz
constexpr std::uint64_t kConversionCycles = 13;
constexpr std::uint32_t kSampleCycles[16] = {4,   8,   16,  32,  64,   96,   128,  192,
                                             256, 384, 512, 768, 1024, 1024, 1024, 1024};

}  // namespace

void Adc12::reset(bool powerOn) {
    if (!powerOn) return;  // a PUC leaves the ADC12 as it is
    ctl0_ = ctl1_ = ifg_ = ie_ = 0;
    for (auto& m : mctl_) m = 0;
    overflow_ = timeOverflow_ = false;
    phase_ = Phase::Idle;
}

void Adc12::setInput(int channel, const AnalogInput& input) {
    if (channel < 0 || channel >= kAnalogChannels) return;
    catchUp();
    inputs_[channel] = input;
}

std::uint64_t Adc12::clockPs() const {
    std::uint64_t source;
    switch ((ctl1_ >> 3) & 3) {
        case 1: source = mcu_.clock().aclkPs(); break;
        case 2: source = (mcu_.cpu().sr() & kCpuOff) ? 0 : mcu_.clock().mclkPs(); break;
        case 3: source = mcu_.clock().smclkPs(); break;
        default: source = kOscPs; break;
    }
    return source * (((ctl1_ >> 5) & 7) + 1u);
}

std::uint64_t Adc12::afterCycles(std::uint64_t from, std::uint64_t cycles) {
    const std::uint64_t clock = clockPs();
    if (clock == 0) {
        mcu_.noteOnce("ADC12CLK stopped during a conversion: it waits for the clock");
        return kNever;
    }
    return from + cycles * clock;
}

// The level on the input a memory register's control selects, in millivolts.
double Adc12::inputMv(unsigned inch, std::uint64_t ps) const {
    if (inch < 10) return inputs_[inch].at(ps);
    if (inch == 10) {
        if (!(ctl0_ & kRefOn)) return 0;  // the sensor is powered by the reference
        return 986.0 + 3.55 * inputs_[kAnalogTemperature].at(ps);
    }
    return kAvccMv / 2;  // (AVcc - AVss) / 2
}

std::uint16_t Adc12::convert(unsigned mctl, std::uint64_t ps) {
    const unsigned sref = (mctl >> 4) & 7;
    double high, low = 0;
    switch (sref & 3) {
        case 0: high = kAvccMv; break;
        case 1:
            if (!(ctl0_ & kRefOn)) mcu_.noteOnce("ADC12 converts against VREF+ with REFON clear");
            high = (ctl0_ & kRefOn) ? ((ctl0_ & kRef2_5V) ? 2500 : 1500) : 0;
            break;
        default: high = inputs_[kAnalogVeRefPlus].at(ps); break;
    }
    if (sref & 4) low = inputs_[kAnalogVeRefMinus].at(ps);
    const double vin = inputMv(mctl & 15, ps);
    if (vin <= low) return 0;
    if (vin >= high) return 0x0FFF;
    return static_cast<std::uint16_t>(std::lround(4095.0 * (vin - low) / (high - low)));
}

void Adc12::startSample(std::uint64_t ps) {
    const std::uint32_t cycles = kSampleCycles[(ctl0_ >> (current_ < 8 ? 8 : 12)) & 15];
    phase_ = Phase::Sampling;
    if (ctl1_ & kShp) {
        ctl0_ &= static_cast<std::uint16_t>(~kAdc12Sc);
        phaseEndPs_ = afterCycles(ps, cycles);
    } else {
        phaseEndPs_ = kNever;  // until firmware clears ADC12SC
    }
}

void Adc12::startConversion(std::uint64_t ps) {
    held_ = convert(mctl_[current_], ps);
    phase_ = Phase::Converting;
    phaseEndPs_ = afterCycles(ps, kConversionCycles);
}

// A conversion is done at `ps`: its result is stored and the mode says what comes next.
void Adc12::finishConversion(std::uint64_t ps) {
    const std::uint16_t bit = static_cast<std::uint16_t>(1u << current_);
    if (ifg_ & bit) overflow_ = true;
    mem_[current_] = held_;
    ifg_ |= bit;
    const unsigned conseq = (ctl1_ & kConseq) >> 1;
    const bool endOfSequence = conseq == 0 || conseq == 2 || (mctl_[current_] & kEos);
    if (conseq == 0 || (conseq == 1 && endOfSequence) || (!(ctl0_ & kEnc) && endOfSequence)) {
        phase_ = Phase::Idle;
    } else {
        if (conseq != 2) current_ = endOfSequence ? ctl1_ >> 12 : (current_ + 1) & 15;
        phase_ = Phase::Waiting;
        if ((ctl0_ & kMsc) && (ctl1_ & kShp))
            startSample(ps);
        else if (!(ctl0_ & kEnc))
            phase_ = Phase::Idle;  // no start can come without ENC: not left busy for ever
    }
    mcu_.requestsChanged();
}

void Adc12::catchUp() {
    const std::uint64_t now = mcu_.nowPs();
    while (phase_ == Phase::Sampling || phase_ == Phase::Converting) {
        if (phaseEndPs_ > now) return;
        if (phase_ == Phase::Sampling)
            startConversion(phaseEndPs_);
        else
            finishConversion(phaseEndPs_);
    }
}

std::uint64_t Adc12::nextEventPs() const {
    return phase_ == Phase::Sampling || phase_ == Phase::Converting ? phaseEndPs_ : kNever;
}

// A rising edge of ADC12SC with ENC set: the next sample starts, or the converter is too busy.
void Adc12::trigger() {
    if (!(ctl0_ & kAdc12On)) {
        mcu_.noteOnce("ADC12SC with ADC12ON clear: nothing converts");
        return;
    }
    if ((ctl1_ >> 10) & 3) mcu_.noteOnce("ADC12 sample trigger from a timer output: not modelled");
    if (phase_ == Phase::Sampling || phase_ == Phase::Converting) {
        timeOverflow_ = true;
        return;
    }
    if (phase_ == Phase::Idle) current_ = ctl1_ >> 12;
    startSample(mcu_.nowPs());
}

void Adc12::writeCtl0(std::uint16_t value) {
    const std::uint16_t before = ctl0_;
    if (before & kEnc)
        value = static_cast<std::uint16_t>((before & ~kCtl0Free) | (value & kCtl0Free));
    ctl0_ = value;
    const bool stopNow = !(ctl0_ & kAdc12On) || (!(ctl0_ & kEnc) && (ctl1_ & kConseq) == 0);
    if (stopNow || (!(ctl0_ & kEnc) && phase_ == Phase::Waiting)) {
        phase_ = Phase::Idle;  // a conversion cut short leaves no result
    } else if ((ctl0_ & kEnc) && (ctl0_ & kAdc12Sc) && !(before & kAdc12Sc)) {
        trigger();
    } else if (phase_ == Phase::Sampling && !(ctl1_ & kShp) && !(ctl0_ & kAdc12Sc)) {
        startConversion(mcu_.nowPs());  // extended sampling ends with ADC12SC
    }
}

std::uint16_t Adc12::read(std::uint16_t address, bool) {
    if (address >= kMctl0 && address < kMctl0 + 16) return mctl_[address - kMctl0];
    if (address >= kMem0 && address < kMem0 + 32) {
        const int i = (address - kMem0) / 2;
        ifg_ &= static_cast<std::uint16_t>(~(1u << i));
        mcu_.requestsChanged();
        return mem_[i];
    }
    switch (address) {
        case kCtl0: return ctl0_;
        case kCtl1: return static_cast<std::uint16_t>(ctl1_ | (phase_ != Phase::Idle ? kBusy : 0));
        case kIfg: return ifg_;
        case kIe: return ie_;
        case kIv: {
            const std::uint16_t v = vector(true);
            mcu_.requestsChanged();
            return v;
        }
        default: return 0;
    }
}

void Adc12::write(std::uint16_t address, std::uint16_t value, bool) {
    if (address >= kMctl0 && address < kMctl0 + 16) {
        if (!(ctl0_ & kEnc)) mctl_[address - kMctl0] = static_cast<std::uint8_t>(value);
    } else if (address >= kMem0 && address < kMem0 + 32) {
        mem_[(address - kMem0) / 2] = value & 0x0FFF;
    } else if (address == kCtl0) {
        writeCtl0(value);
    } else if (address == kCtl1) {
        value &= static_cast<std::uint16_t>(~kBusy);
        if (ctl0_ & kEnc)
            value = static_cast<std::uint16_t>((ctl1_ & ~kCtl1Free) | (value & kCtl1Free));
        ctl1_ = value;
    } else if (address == kIfg) {
        ifg_ = value;
    } else if (address == kIe) {
        ie_ = value;
    } else if (address == kIv) {
        vector(true);  // any access clears the overflow it names
    }
    mcu_.requestsChanged();
}

// ADC12IV: the highest pending enabled source. Reading it clears an overflow, not a memory flag.
std::uint16_t Adc12::vector(bool clear) {
    if (overflow_ && (ctl0_ & kOvIe)) {
        if (clear) overflow_ = false;
        return 2;
    }
    if (timeOverflow_ && (ctl0_ & kTovIe)) {
        if (clear) timeOverflow_ = false;
        return 4;
    }
    for (int i = 0; i < 16; ++i)
        if (ifg_ & ie_ & (1u << i)) return static_cast<std::uint16_t>(6 + 2 * i);
    return 0;
}

std::uint16_t Adc12::requests() const {
    const bool pending =
        (ifg_ & ie_) || (overflow_ && (ctl0_ & kOvIe)) || (timeOverflow_ && (ctl0_ & kTovIe));
    return pending ? static_cast<std::uint16_t>(1u << kVecAdc) : 0;
}

}  // namespace sim::mcu
