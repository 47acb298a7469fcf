// The newer families' loader on the simulated chips, seen from the host's side of the wire: the
// vendor guide's example packets and replies, every acknowledge and message, the erases, the lock,
// the speed change and the faults.
#include <gtest/gtest.h>

#include <string>

#include "sim/settings.h"
#include "sim_wire.h"

using namespace simtest;

namespace {

namespace nw = sim::newer;

// A packet around a core: header, length, core, CRC low byte first.
Bytes packet(const Bytes& core) {
    const auto n = static_cast<std::uint16_t>(core.size());
    Bytes p = cat({0x80, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8)}, core);
    const std::uint16_t crc = nw::crc16(core.data(), core.size());
    return cat(p, {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8)});
}
Bytes withAddress(std::uint8_t command, std::uint32_t a, const Bytes& rest = {}) {
    return cat({command, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8),
                static_cast<std::uint8_t>(a >> 16)},
               rest);
}
Bytes write(std::uint32_t a, const Bytes& data) { return packet(withAddress(0x10, a, data)); }
Bytes read(std::uint32_t a, std::uint16_t n) {
    return packet(withAddress(0x18, a, {static_cast<std::uint8_t>(n),
                                        static_cast<std::uint8_t>(n >> 8)}));
}
Bytes unlock(std::uint8_t fill = 0xFF) { return packet(cat({0x11}, Bytes(32, fill))); }
// The acknowledge and the message reply 3B XX.
Bytes message(std::uint8_t m) { return cat({0x00}, packet({0x3B, m})); }
Bytes data(const Bytes& bytes) { return cat({0x00}, packet(cat({0x3A}, bytes))); }

sim::SimConfig chip(const std::string& settings) {
    sim::SimConfig config;
    std::string error;
    EXPECT_TRUE(sim::parseSimSettings(settings, config, error)) << error;
    return config;
}

// A newer chip with its loader entered the usual way.
struct Chip : Wire {
    explicit Chip(const std::string& settings) : Wire(chip(settings)) { enterLoader(); }
    Bytes ask(const Bytes& bytes, double ms = 60) {
        send(bytes);
        return take(ms);
    }
    sim::NewerLoader& loader() { return *target->newerLoader(); }
};

}  // namespace

TEST(NewerLoader, TheGuidesExamplesByteForByte) {
    Chip c("chip=F5529");
    ASSERT_EQ(c.target->mode(), sim::SimTarget::Mode::Loader);
    const Bytes ff(32, 0xFF);
    const struct {
        Bytes host, chip;
    } examples[] = {
        {cat(cat({0x80, 0x21, 0x00, 0x11}, ff), {0x9E, 0xE6}),
         {0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x60, 0xC4}},
        {{0x80, 0x01, 0x00, 0x19, 0xE8, 0x62},
         {0x00, 0x80, 0x05, 0x00, 0x3A, 0x00, 0x01, 0x01, 0x01, 0x6C, 0x4F}},
        {{0x80, 0x01, 0x00, 0x1A, 0x8B, 0x52}, {0x00, 0x80, 0x03, 0x00, 0x3A, 0x04, 0x01, 0x1D, 0x12}},
        {{0x80, 0x06, 0x00, 0x18, 0x00, 0x5C, 0x00, 0x1F, 0x00, 0x92, 0x30}, data(Bytes(31, 0xFF))},
        {{0x80, 0x04, 0x00, 0x17, 0x00, 0x5C, 0x00, 0x98, 0x85}, {0x00}},
    };
    for (const auto& e : examples) EXPECT_EQ(c.ask(e.host), e.chip);
    EXPECT_EQ(c.target->mode(), sim::SimTarget::Mode::Silent);  // left for 5C00; nothing runs

    // The speed change: acknowledged at the old speed, then the chip listens at the new one.
    Chip s("chip=F5529");
    EXPECT_EQ(s.ask({0x80, 0x02, 0x00, 0x52, 0x02, 0x90, 0x55}), Bytes{0x00});
    EXPECT_EQ(s.ask(packet({0x52, 0x06})), Bytes{0x00});
    EXPECT_EQ(s.target->format().baud, 115200u);
    s.setFormat({115200, 8, 2, 0});
    EXPECT_EQ(s.ask(unlock()), message(0x00));
}

// Every acknowledge a packet can be refused with, and every message a command can end with.
TEST(NewerLoader, EveryAcknowledgeAndMessage) {
    const Bytes ok = message(0x00);
    const struct {
        const char* settings;
        std::vector<Bytes> before;  // each answered with 3B 00
        Bytes host;
        Bytes answer;
    } cases[] = {
        {"chip=F5529", {}, {0x12}, {0x51}},                                      // not a header
        {"chip=F5529", {}, {0x80, 0x01, 0x00, 0x19, 0xE8, 0x63}, {0x52}},        // checksum
        {"chip=F5529", {}, {0x80, 0x00, 0x00, 0xFF, 0xFF}, {0x53}},              // length 0
        {"chip=FR2355", {}, cat({0x80, 0x05, 0x01}, Bytes(0x107, 0)), {0x54}},  // over the buffer
        {"chip=F5529,fault=nack:password:1", {}, unlock(), {0x55}},
        {"chip=FR5969", {}, packet({0x52, 0x07}), {0x56}},
        {"chip=FR5969", {}, packet({0x52}), {0x56}},
        {"chip=F5529", {unlock()}, write(0x2400, {1, 2, 3}), ok},
        {"chip=F5529", {unlock(), write(0x4400, {0x00})}, write(0x4400, {0x01}), message(0x01)},
        {"chip=FR5969", {unlock()}, write(0x1000, {0x12}), message(0x01)},   // the loader's area
        {"chip=F5529", {unlock()}, write(0x1980, {0x12}), message(0x02)},    // INFO_A locked
        {"chip=F5438A", {unlock()}, write(0x45C00, {0x12}), message(0x02)},  // past the flash
        {"chip=F5529", {unlock()}, packet(withAddress(0x12, 0x1000)), message(0x02)},
        {"chip=F5529,fault=message:write:1:03", {unlock()}, write(0x4400, {0}), message(0x03)},
        {"chip=F5529", {}, read(0x4400, 2), message(0x04)},
        {"chip=FR2355", {}, packet({0x19}), message(0x04)},
        {"chip=FR2355", {}, unlock(0x00), message(0x05)},
        {"chip=F5529,fault=message:write:1:06", {unlock()}, write(0x4401, {0}), message(0x06)},
        {"chip=F5529", {unlock()}, packet({0x14}), message(0x07)},
        {"chip=FR5969", {unlock()}, packet({0x13}), message(0x07)},  // no INFO_A lock in FRAM
        {"chip=FR2355", {unlock()}, packet(withAddress(0x12, 0x8000)), message(0x07)},
        {"chip=F5529", {unlock()}, read(0x4400, 0x104), message(0x08)},
    };
    for (const auto& k : cases) {
        Chip c(k.settings);
        for (const Bytes& b : k.before) ASSERT_EQ(c.ask(b), ok) << k.settings;
        EXPECT_EQ(c.ask(k.host), k.answer) << k.settings;
        // The rest of a refused packet is skipped, not answered byte by byte; the next is heard.
        EXPECT_EQ(c.ask(unlock()), ok) << k.settings;
    }
}

TEST(NewerLoader, WrongPasswordAndMassEraseClearWhatEachFamilyClears) {
    const struct {
        const char* settings;
        bool infoErased;
        bool eraseAnswered;
    } cases[] = {
        {"chip=F5529", false, true},
        {"chip=FR5969", false, false},
        {"chip=FR2355", true, true},
    };
    for (const auto& k : cases) {
        for (bool wrongPassword : {true, false}) {
            Chip c(k.settings);
            const std::uint32_t main = c.loader().chip().mainStart;
            c.loader().poke(main, {0x12, 0x34});
            c.loader().poke(0x1800, {0x56});
            c.loader().poke(0xFFFE, {0x00, 0x44});  // the reset vector: the password is not FF
            if (wrongPassword) {
                EXPECT_EQ(c.ask(unlock()), message(0x05)) << k.settings;
            } else {
                EXPECT_EQ(c.ask(packet({0x15})), k.eraseAnswered ? message(0x00) : Bytes{0x00})
                    << k.settings;
            }
            EXPECT_EQ(c.loader().peek(main, 2), (Bytes{0xFF, 0xFF})) << k.settings;
            EXPECT_EQ(c.loader().peek(0x1800), k.infoErased ? 0xFF : 0x56) << k.settings;
            EXPECT_EQ(c.ask(unlock()), message(0x00)) << k.settings;  // now 32 x FF
        }
    }
}

TEST(NewerLoader, InfoALockMemoryAboveFfffReadsAndCrc) {
    Chip c("chip=F5529");
    const Bytes ok = message(0x00);
    EXPECT_EQ(c.ask(unlock()), ok);
    EXPECT_EQ(c.ask(packet({0x13})), ok);  // INFO_A unlocked
    EXPECT_EQ(c.ask(write(0x1980, {0xA5, 0x5A})), ok);
    EXPECT_EQ(c.ask(packet(withAddress(0x12, 0x19C0))), ok);  // its segment erased
    EXPECT_EQ(c.loader().peek(0x1980), 0xFF);
    EXPECT_EQ(c.ask(packet({0x13})), ok);  // locked again
    EXPECT_EQ(c.ask(packet(withAddress(0x12, 0x1980))), message(0x02));

    EXPECT_EQ(c.ask(write(0x243FE, {0xBE, 0xEF})), ok);  // the F5529's last flash word
    EXPECT_EQ(c.ask(read(0x243FE, 2)), data({0xBE, 0xEF}));
    EXPECT_EQ(c.ask(write(0x24400, {0x00})), message(0x02));
    EXPECT_EQ(c.ask(read(0x1A04, 2)), data({0x29, 0x55}));  // device ID 5529, low byte first

    // The CRC check of "123456789" is the CRC's well-known check value 0x29B1.
    EXPECT_EQ(c.ask(write(0x2400, {'1', '2', '3', '4', '5', '6', '7', '8', '9'})), ok);
    EXPECT_EQ(c.ask(packet(withAddress(0x16, 0x2400, {9, 0}))), data({0xB1, 0x29}));

    // An FRAM part sends a read longer than its buffer in several packets.
    Chip f("chip=FR5969");
    EXPECT_EQ(f.ask(unlock()), ok);
    const Bytes got = f.ask(read(0x4400, 300), 700);
    EXPECT_EQ(got, cat(data(Bytes(259, 0xFF)), packet(cat({0x3A}, Bytes(41, 0xFF)))));
}

TEST(NewerLoader, FaultsAsTheHostSeesThem) {
    const Bytes version = packet({0x19});
    const Bytes reply{0x3A, 0x00, 0x01, 0x01, 0x01};
    Bytes badCrc = packet(reply);
    badCrc[badCrc.size() - 1] ^= 0x01;
    badCrc[badCrc.size() - 2] ^= 0x01;
    Bytes longer = packet(reply);
    longer[1] = 6;
    Bytes garbled = packet(reply);
    garbled[1] ^= 0x10;
    const struct {
        const char* fault;
        Bytes answer;
    } cases[] = {
        {"mute:0x19:1", {}},
        {"stall:0x19:1", {0x00, 0x80}},
        {"stray:any:2:A0", {0xA0}},
        {"crc:0x19:1", cat({0x00}, badCrc)},
        {"length:0x19:1", cat({0x00}, longer)},
        {"prefix:0x19:1:FE", cat({0xFE, 0x00}, packet(reply))},
        {"garble-tx:11:10", cat({0x00}, garbled)},
        {"mute-after:password:1", {}},
    };
    for (const auto& k : cases) {
        Chip c(std::string("chip=F5529,fault=") + k.fault);
        EXPECT_EQ(c.ask(unlock()), message(0x00)) << k.fault;  // each fault waits for its command
        EXPECT_EQ(c.ask(version), k.answer) << k.fault;
    }
}

TEST(NewerLoader, TheClassicSyncGetsNoClassicAnswer) {
    // A host trying the classic loader sends 0x80 alone, up to three times, 100 ms apart: the
    // chip takes them as a header and a length of 0x8080, more than its buffer.
    Chip c("chip=FR2355");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(c.ask({0x80}, 100), Bytes{});
    EXPECT_EQ(c.ask({0x80}, 100), Bytes{0x54});

    // Entry on the newer rule: two rising TEST edges while RST is low, TEST high at its rise,
    // with no rest needed first. Without them the chip starts its firmware, which is not run.
    Wire w(chip("chip=F5438A"));
    w.reset(0);
    w.test(0);
    w.test(1);
    w.test(0);
    w.reset(1);
    w.wait(10);
    EXPECT_EQ(w.target->mode(), sim::SimTarget::Mode::Loader);
    w.reset(0);
    w.test(1);
    w.test(0);
    w.reset(1);
    w.wait(10);
    EXPECT_EQ(w.target->mode(), sim::SimTarget::Mode::Silent);
    EXPECT_EQ(w.target->applicationStarts(), 0u);
}
