// The virtual board's chip on arbitrary firmware: the input's first byte picks the chip and the
// host's bytes, the rest fills flash from the top down (the reset vector and the interrupt
// vectors first, then code), and the chip runs for 50 ms of its time with a few bytes arriving on
// its serial line. Nothing may crash, hang or fault, whatever the code does to itself, its
// peripherals or its stack.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sim/chip.h"
#include "sim/mcu/mcu.h"

namespace {

class Hooks final : public sim::mcu::McuHooks {
public:
    void transmit(std::uint64_t, std::uint8_t, const platform::LineFormat&) override { ++sent; }
    void formatChanged(std::uint64_t, const platform::LineFormat&) override {}
    void traceEvent(std::uint64_t, const std::string&) override { ++notes; }
    unsigned sent = 0, notes = 0;
};

constexpr std::uint16_t kChips[] = {0xF149, 0x1232, 0xF169, 0xF16C};
constexpr std::uint64_t kPsPerMs = 1000000000ull;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    sim::Memory memory{};
    memory.fill(0xFF);
    std::fill(memory.begin(), memory.begin() + 0x0200, 0);
    const sim::ChipModel& chip = sim::chipModelFor(kChips[data[0] & 3]);
    std::size_t at = 0x10000;
    for (std::size_t i = 1; i < size && at > 0x1000; ++i) memory[--at] = data[i];
    // RAM starts with what the input holds too, as after a warm reset.
    for (std::size_t i = 1; i < size && i < 0x800; ++i)
        memory[chip.ramStart + (i - 1) % (chip.ramEnd - chip.ramStart)] = data[i];

    Hooks hooks;
    sim::mcu::Mcu mcu(memory, chip, &hooks,
                      sim::mcu::McuOptions{(data[0] >> 2) & 1, (data[0] & 8) ? 4000000u : 0u});
    mcu.powerOn(0);
    for (int ms = 1; ms <= 50; ++ms) {
        mcu.runUntil(ms * kPsPerMs);
        if (ms % 10 == 0)
            mcu.hostCharacter(ms % 20 ? std::optional<std::uint8_t>(data[0]) : std::nullopt);
    }
    if (mcu.nowPs() < 50 * kPsPerMs) std::abort();  // the chip's time must have come along
    return 0;
}
