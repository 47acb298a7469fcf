// The newer families' loader on arbitrary host bytes: the input's first byte picks the chip, whether
// the loader is unlocked first and a few answer faults; the rest reaches the chip's line one byte
// after another at 9600 Bd 8E1 (at the chip's speed once a speed change has been made), with a
// pause after each 0x80 so that a header can also stand alone as a host's synchronisation would.
// Nothing may crash or hang, and the chip's work must come to an end once the host falls silent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/newer_chips.h"
#include "sim/settings.h"
#include "sim/sim_target.h"

namespace {

class Host final : public platform::HostLink {
public:
    void deliver(std::uint64_t, std::uint8_t) override {}
    platform::LineFormat hostFormat() const override { return format; }
    platform::LineFormat format{9600, 8, 2, 0};
};

const char* const kChips[] = {"F5529", "F5438A", "FR5969", "FR2355"};
const char* const kFaults[] = {"", ",fault=stall:any:3", ",fault=crc:read:1+,fault=nack:0x16:2",
                               ",fault=message:any:2:08,fault=mute-after:any:9"};
constexpr std::uint64_t kMs = 1000000;

std::vector<std::uint8_t> packet(const std::vector<std::uint8_t>& core) {
    std::vector<std::uint8_t> p{0x80, static_cast<std::uint8_t>(core.size()), 0};
    p.insert(p.end(), core.begin(), core.end());
    const std::uint16_t crc = sim::newer::crc16(core.data(), core.size());
    p.push_back(static_cast<std::uint8_t>(crc));
    p.push_back(static_cast<std::uint8_t>(crc >> 8));
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 4096) return 0;
    const std::string settings = std::string("loader,chip=") + kChips[data[0] & 3] +
                                 kFaults[(data[0] >> 3) & 3];
    sim::SimConfig config;
    config.keepTrace = false;
    std::string error;
    if (!sim::parseSimSettings(settings, config, error)) std::abort();
    sim::SimTarget target(config);
    Host host;
    target.attach(&host);
    target.advanceTo(0);

    std::vector<std::uint8_t> bytes;
    if (data[0] & 4) {
        std::vector<std::uint8_t> password(33, 0xFF);
        password[0] = 0x11;
        bytes = packet(password);
    }
    bytes.insert(bytes.end(), data + 1, data + size);

    std::uint64_t now = 0;
    for (std::uint8_t b : bytes) {
        host.format.baud = target.format().baud;  // the host follows a speed change at once
        now += host.format.characterNs() + (b == 0x80 ? 2 * kMs : 0);
        target.advanceTo(now);
        target.hostByte(now, b, host.format);
    }
    // Once the host is silent, the chip finishes what it has begun (at most the longest read a
    // packet may ask for, 64 KiB at 9600 Bd) and then has nothing to do.
    now += 100000 * kMs;
    target.advanceTo(now);
    if (const auto next = target.nextEventTime(); next && *next <= now) std::abort();
    target.attach(nullptr);
    return 0;
}
