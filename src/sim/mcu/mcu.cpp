#include "sim/mcu/mcu.h"

#include <algorithm>
#include <cstdio>

namespace sim::mcu {

Mcu::Mcu(Memory& memory, const ChipModel& chip, McuHooks* hooks, McuOptions options)
    : mem_(memory.data()),
      chip_(chip),
      hooks_(hooks),
      options_(options),
      ramStart_(static_cast<std::uint16_t>(chip.ramStart)),
      ramSize_(static_cast<std::uint16_t>(chip.ramEnd - chip.ramStart)),
      cpu_(*this) {
    if (!chip_.usart1) options_.hostUsart = 0;
    clock_ = std::make_unique<BasicClock>(*this, options_.xt2Hz);
    watchdog_ = std::make_unique<Watchdog>(*this);
    timerA_ = std::make_unique<TimerA>(*this);
    ports_ = std::make_unique<Ports>(*this);
    flash_ = std::make_unique<FlashController>(*this);
    usart_[0] = std::make_unique<Usart>(*this, 0);
    all_ = {clock_.get(), watchdog_.get(), timerA_.get(),
            ports_.get(), flash_.get(),    usart_[0].get()};
    auto own = [&](Peripheral* p, unsigned from, unsigned to) {
        for (unsigned a = from; a <= to; ++a) owner_[a] = p;
    };
    own(ports_.get(), 0x18, 0x37);
    own(nullptr, 0x27, 0x27);
    own(nullptr, 0x2F, 0x2F);
    own(clock_.get(), 0x56, 0x58);
    own(usart_[0].get(), 0x70, 0x77);
    own(watchdog_.get(), 0x120, 0x121);
    own(flash_.get(), 0x128, 0x12D);
    own(timerA_.get(), 0x12E, 0x12F);
    own(timerA_.get(), 0x160, 0x167);
    own(timerA_.get(), 0x170, 0x177);
    if (chip_.usart1) {
        usart_[1] = std::make_unique<Usart>(*this, 1);
        all_.push_back(usart_[1].get());
        own(usart_[1].get(), 0x78, 0x7F);
    }
    if (chip_.multiplier) {
        multiplier_ = std::make_unique<Multiplier>(*this);
        all_.push_back(multiplier_.get());
        own(multiplier_.get(), 0x130, 0x13F);
    }
    if (chip_.multiplier) {  // the F14x and F16x carry Timer_B7 and the ADC12; the F1232 neither
        timerB_ = std::make_unique<TimerB>(*this);
        adc12_ = std::make_unique<Adc12>(*this);
        all_.push_back(timerB_.get());
        all_.push_back(adc12_.get());
        own(timerB_.get(), 0x11E, 0x11F);
        own(timerB_.get(), 0x180, 0x19F);
        own(adc12_.get(), 0x80, 0x8F);
        own(adc12_.get(), 0x140, 0x15F);
        own(adc12_.get(), 0x1A0, 0x1A9);
    }
}

void Mcu::setAnalogInput(int channel, const AnalogInput& input) {
    if (adc12_) adc12_->setInput(channel, input);
}

Mcu::~Mcu() = default;

// ---- time ----

std::uint64_t Mcu::nowPs() const { return basePs_ + (cpu_.cycles - baseCycles_) * mclkPs_; }

void Mcu::rebase() {
    basePs_ = nowPs();
    baseCycles_ = cpu_.cycles;
}

bool Mcu::interruptDue() const {
    return (requests_ & (1u << kVecNmi)) || (requests_ && (cpu_.r[2] & kGie));
}

std::uint64_t Mcu::nextEventPs() const {
    if (!cpu_.sleeping() || resetWhy_ || interruptDue()) return nowPs();
    return nextEventPs_;
}

void Mcu::updateNextEvent() {
    nextEventPs_ = kNever;
    for (Peripheral* p : all_) nextEventPs_ = std::min(nextEventPs_, p->nextEventPs());
}

void Mcu::serviceEvents() {
    const std::uint64_t now = nowPs();
    for (Peripheral* p : all_)
        if (p->nextEventPs() <= now) p->event();
    requestsChanged();
    updateNextEvent();
}

void Mcu::runUntil(std::uint64_t target) {
    for (;;) {
        if (resetWhy_) reset(false);
        // An interrupt that arrived at the present wakes the CPU now, not at the next step.
        if (cpu_.sleeping() && interruptDue()) takeInterrupt();
        const std::uint64_t now = nowPs();
        if (now >= target) break;
        if (cpu_.sleeping()) {
            const std::uint64_t until = std::min(target, nextEventPs_);
            basePs_ = std::max(until, now);
            baseCycles_ = cpu_.cycles;
            if (nextEventPs_ <= basePs_) serviceEvents();
            continue;
        }
        const std::uint64_t until = std::min(target, nextEventPs_);
        stop_ = false;
        if (until > now) cpu_.run(cpu_.cycles + (until - now + mclkPs_ - 1) / mclkPs_);
        if (stop_ || nowPs() >= nextEventPs_) serviceEvents();
    }
}

void Mcu::clocksChanging() {
    for (Peripheral* p : all_) p->catchUp();
    rebase();
}

void Mcu::clocksChanged() {
    mclkPs_ = std::max<std::uint64_t>(clock_->mclkPs(), 1);
    for (int i = 0; i < 2; ++i)
        if (usart_[i]) usart_[i]->clocksChanged();
    stop_ = true;
    updateNextEvent();
}

void Mcu::stallPs(std::uint64_t ps) { cpu_.cycles += ps / mclkPs_; }

// ---- reset and interrupts ----

void Mcu::powerOn(std::uint64_t ps) {
    basePs_ = ps;
    baseCycles_ = cpu_.cycles;
    reset(true);
}

void Mcu::startAt(std::uint64_t ps, std::uint16_t pc) {
    powerOn(ps);
    watchdog_->write(0x120, 0x5A80, false);
    cpu_.r[0] = pc & 0xFFFE;
    updateNextEvent();
}

void Mcu::requestReset(const char* why) {
    if (!resetWhy_) resetWhy_ = why;
    stop_ = true;
}

void Mcu::reset(bool powerOn) {
    if (resetWhy_) noteOnce(std::string(resetWhy_) + ": reset");
    resetWhy_ = nullptr;
    ++resets_;
    const std::uint8_t keep = powerOn ? 0 : (sfr_[kIfg1] & kWdtIfg);
    sfr_ = {};
    sfr_[kIfg1] = static_cast<std::uint8_t>(keep | kOfIfg | 0x80);  // UTXIFG0 set
    sfr_[kIfg2] = 0x20;                                             // UTXIFG1 set
    for (Peripheral* p : all_) p->reset(powerOn);
    if (powerOn)
        for (auto& reg : cpu_.r) reg = 0;
    cpu_.r[2] = 0;
    cpu_.r[0] = read16(kResetVector) & 0xFFFE;
    rebase();
    mclkPs_ = std::max<std::uint64_t>(clock_->mclkPs(), 1);
    requestsChanged();
    updateNextEvent();
    stop_ = true;
}

void Mcu::requestsChanged() {
    std::uint16_t r = 0;
    for (Peripheral* p : all_) r |= p->requests();
    if (sfr_[kIfg1] & sfr_[kIe1] & (kOfIfg | kNmiIfg)) r |= 1u << kVecNmi;
    requests_ = r;
}

bool Mcu::takeInterrupt() {
    if (!requests_) return false;
    int vector;
    if (requests_ & (1u << kVecNmi)) {
        vector = kVecNmi;
        sfr_[kIe1] &=
            static_cast<std::uint8_t>(~(kOfIfg | kNmiIfg | kAccvIe));  // OFIE, NMIIE, ACCVIE
    } else if (cpu_.r[2] & kGie) {
        vector = 15;
        while (!(requests_ & (1u << vector))) --vector;
        for (Peripheral* p : all_) p->accepted(vector);
    } else {
        return false;
    }
    cpu_.enterInterrupt(vectorAddress(vector));
    requestsChanged();
    return true;
}

void Mcu::undefinedInstruction(std::uint16_t op, std::uint16_t at) {
    if (toldUndefined_) return;  // the first one tells what is going on
    toldUndefined_ = true;
    char text[96];
    std::snprintf(text, sizeof text, "undefined instruction %04X at %04X skipped", op, at);
    note(text);
}

// ---- registers and memory ----

void Mcu::setSfrBits(std::uint16_t a, std::uint8_t bits) {
    sfr_[a] |= bits;
    requestsChanged();
}

void Mcu::clearSfrBits(std::uint16_t a, std::uint8_t bits) {
    sfr_[a] &= static_cast<std::uint8_t>(~bits);
    requestsChanged();
}

std::uint16_t Mcu::registerRead(std::uint16_t a, bool byte) {
    if (a < sfr_.size()) {
        if (byte) return sfr_[a];
        return static_cast<std::uint16_t>(sfr_[a] | (a + 1u < sfr_.size() ? sfr_[a + 1] << 8 : 0));
    }
    Peripheral* p = owner_[a];
    if (!p) {
        if (!reported_[a]) {
            reported_[a] = true;
            char text[80];
            std::snprintf(text, sizeof text, "read of unmodelled register %04X gives 0", a);
            note(text);
        }
        return 0;
    }
    p->catchUp();
    if (a < 0x100) return p->read(a, true) & 0xFF;  // 8-bit module: a word read's high byte is 0
    const std::uint16_t word = p->read(a & 0xFFFE, byte);
    if (!byte) return word;
    return (a & 1) ? word >> 8 : word & 0xFF;
}

void Mcu::slowWrite(std::uint16_t a, std::uint16_t v, bool byte) {
    if (a >= 0x200) {
        if (flashAddress(a)) {
            flash_->flashWrite(a, v, byte);
        } else if (!toldUnmapped_) {
            toldUnmapped_ = true;
            char text[80];
            std::snprintf(text, sizeof text, "write to %04X (no RAM there) ignored", a);
            noteOnce(text);
        }
        return;
    }
    if (a < sfr_.size()) {
        sfr_[a] = static_cast<std::uint8_t>(v);
        if (!byte && a + 1u < sfr_.size()) sfr_[a + 1] = static_cast<std::uint8_t>(v >> 8);
        // A missing oscillator sets its fault flag again as soon as it is cleared.
        if (clock_->oscillatorFault()) sfr_[kIfg1] |= kOfIfg;
        if (a >= kMe1) usartFormatChanged(options_.hostUsart);
        requestsChanged();
        stop_ = true;
        return;
    }
    Peripheral* p = owner_[a];
    if (!p) {
        if (!reported_[a]) {
            reported_[a] = true;
            char text[80];
            std::snprintf(text, sizeof text, "write to unmodelled register %04X ignored", a);
            note(text);
        }
        return;
    }
    p->catchUp();
    if (a < 0x100) {
        p->write(a, v & 0xFF, true);  // 8-bit module: a word write writes the low byte
    } else if (byte && (a & 1)) {
        noteOnce("byte write to the high byte of a word register ignored");
    } else {
        p->write(a & 0xFFFE, byte ? (v & 0xFF) : v, byte);
    }
    requestsChanged();
    updateNextEvent();
    stop_ = true;
}

void Mcu::note(const std::string& text) {
    if (hooks_) hooks_->traceEvent(nowPs(), text);
}

void Mcu::noteOnce(const std::string& text) {
    if (std::find(notedOnce_.begin(), notedOnce_.end(), text) != notedOnce_.end()) {
        if (hooks_) hooks_->traceRepeatedEvent(nowPs(), text);
        return;
    }
    notedOnce_.push_back(text);
    note(text);
}

// ---- the host's serial line ----

Usart* Mcu::hostUsart() const { return usart_[options_.hostUsart].get(); }

bool Mcu::usartPinsSelected(int index) const {
    const std::uint8_t pins = index ? 0xC0 : 0x30;  // P3.6/P3.7 or P3.4/P3.5
    return (ports_->sel(3) & pins) == pins;
}

void Mcu::usartTransmit(int index, std::uint8_t byte, const platform::LineFormat& format) {
    if (index != options_.hostUsart) return;
    if (!usartPinsSelected(index)) {
        noteOnce("USART" + std::to_string(index) + " sends, but P3SEL does not give it its pins");
        return;
    }
    if (hooks_) hooks_->transmit(nowPs(), byte, format);
}

void Mcu::usartFormatChanged(int index) {
    if (index == options_.hostUsart && hooks_ && usart_[index]->active())
        hooks_->formatChanged(nowPs(), usart_[index]->format());
}

platform::LineFormat Mcu::hostFormat() const { return hostUsart()->format(); }

void Mcu::driveInput(int port, int bit, bool high) {
    ports_->drive(port, bit, high);
    requestsChanged();
    updateNextEvent();
    stop_ = true;
}

void Mcu::pinsChanged(int port, std::uint8_t levels) {
    if (hooks_) hooks_->pinsChanged(nowPs(), port, levels);
}

void Mcu::hostCharacter(std::optional<std::uint8_t> byte) {
    Usart* u = hostUsart();
    if (!usartPinsSelected(options_.hostUsart)) {
        noteOnce("a byte from the host reaches no USART: P3SEL does not select its pins");
        return;
    }
    u->receive(byte);
    requestsChanged();
    stop_ = true;
}

}  // namespace sim::mcu
