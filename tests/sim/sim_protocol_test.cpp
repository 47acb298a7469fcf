// The simulated target's loader as the host sees it on the wire: frames, answers, locking,
// memory, the replacement loader and the speed change.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/sim_device.h"

#include "sim_wire.h"

using namespace simtest;

namespace {

const Bytes kAckOnly{0x90, 0x90};  // synchronisation acknowledged, frame acknowledged
const Bytes kNackAfterSync{0x90, 0xA0};

void unlock(Wire& w) {
    w.enterLoader();
    EXPECT_EQ(w.exchange(massErase()), kAckOnly);
    EXPECT_EQ(w.exchange(password()), kAckOnly);
}

}  // namespace

TEST(SimChecksum, MatchesThePublishedFrames) {
    const std::vector<Bytes> frames = {
        {0x80, 0x18, 0x04, 0x04, 0x00, 0xFF, 0x06, 0xA5, 0x7D, 0xB9},
        {0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0C, 0x00, 0x87, 0xE0},
        {0x80, 0x1A, 0x04, 0x04, 0x22, 0x0C, 0x00, 0x00, 0x59, 0xED},
        {0x80, 0x20, 0x04, 0x04, 0xE0, 0x87, 0x02, 0x00, 0x99, 0x5C},
        {0x80, 0x20, 0x04, 0x04, 0x80, 0x8C, 0x02, 0x00, 0xF9, 0x57},
        {0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0E, 0x00, 0x85, 0xE0},
        {0x80, 0x00, 0x0E, 0x0E, 0xF2, 0x13, 0x40, 0x40, 0x00, 0x00,
         0x00, 0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x01, 0xC0, 0xA2},
    };
    for (const Bytes& f : frames) {
        std::uint16_t ck = sim::frameChecksum(f.data(), f.size() - 2);
        EXPECT_EQ(ck & 0xFF, f[f.size() - 2]);
        EXPECT_EQ(ck >> 8, f[f.size() - 1]);
    }
}

TEST(SimProtocol, PublishedIdentificationExchange) {
    Wire w;
    unlock(w);
    const Bytes id{0xF2, 0x13, 0x40, 0x40, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x02, 0x01, 0x01, 0x01};
    w.target->poke(0x0FF0, id);
    Bytes answer = w.exchange({0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0E, 0x00, 0x85, 0xE0});
    EXPECT_EQ(answer, cat({0x90, 0x80, 0x00, 0x0E, 0x0E}, cat(id, {0xC0, 0xA2})));
}

TEST(SimProtocol, CommandTableOfTheToolIsAnsweredInOrder) {
    Wire w;
    w.enterLoader();
    struct Step {
        const char* what;
        Bytes frame;
        Bytes answer;
    };
    const Step steps[] = {
        {"mass erase while locked", massErase(), kAckOnly},
        {"erased-device password", password(), kAckOnly},
        {"identification", readBlock(0x0FF0, 12),
         cat({0x90}, dataReply({0xF1, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x61}))},
        {"write a block", writeBlock(0xF000, {1, 2, 3, 4}), kAckOnly},
        {"read it back", readBlock(0xF000, 4), cat({0x90}, dataReply({1, 2, 3, 4}))},
        {"read an odd count", readBlock(0xF001, 3), cat({0x90}, dataReply({2, 3, 4}))},
        {"restart the ROM loader", loadPc(0x0C22), kAckOnly},
        {"locked again", readBlock(0xF000, 2), kNackAfterSync},
        {"password again", password(), kAckOnly},
        {"speed change", changeBaud(0x87E0), kAckOnly},
    };
    for (const Step& s : steps) EXPECT_EQ(w.exchange(s.frame), s.answer) << s.what;
    EXPECT_EQ(w.target->format().baud, 38400u);
}

TEST(SimProtocol, LockedLoaderRefusesAllButEraseAndPassword) {
    Wire w;  // the chip holds an older firmware, so the erased-device password is wrong at first
    w.enterLoader();
    const Bytes refused[] = {readBlock(0x0FF0, 12), writeBlock(0x0200, {1, 2}), loadPc(0x0C22),
                             changeBaud(0x87E0), password()};
    for (const Bytes& f : refused) EXPECT_EQ(w.exchange(f), kNackAfterSync);
    EXPECT_TRUE(w.target->locked());
    EXPECT_EQ(w.exchange(massErase()), kAckOnly);
    EXPECT_EQ(w.exchange(password()), kAckOnly);
    EXPECT_FALSE(w.target->locked());
    // A wrong password locks it again.
    EXPECT_EQ(w.exchange(frame(0x10, 0xFFE0, 0x20, Bytes(32, 0x00))), kNackAfterSync);
    EXPECT_EQ(w.exchange(readBlock(0x0FF0, 2)), kNackAfterSync);
}

// What a check without erasing relies on: which loaders tell their version before a password,
// and which erase the flash when the password is wrong (2.00 on, unless the key word is 0x0000).
TEST(SimProtocol, VersionBeforeThePasswordAndWhatAWrongPasswordCosts) {
    struct Case {
        std::uint8_t major, minor;
        bool keyCleared;
        bool tellsVersion;
        bool erases;
    };
    const Case cases[] = {{0x01, 0x10, false, false, false},
                          {0x01, 0x61, false, true, false},
                          {0x02, 0x02, false, true, true},
                          {0x02, 0x02, true, true, false}};
    for (const Case& c : cases) {
        sim::SimConfig config;
        config.versionMajor = c.major;
        config.versionMinor = c.minor;
        Wire w(config);
        const Bytes firmware = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        w.target->poke(0xF000, firmware);
        w.target->poke(0xFFFE, {0x00, 0xF0});
        if (c.keyCleared) w.target->poke(0xFFDE, {0x00, 0x00});
        w.enterLoader();
        const Bytes answer = w.exchange(frame(0x1E, 0, 0));
        if (c.tellsVersion)
            EXPECT_EQ(answer, cat({0x90}, dataReply(w.target->peek(0x0FF0, 16)))) << int(c.major);
        else
            EXPECT_EQ(answer, kNackAfterSync) << int(c.minor);
        EXPECT_EQ(w.exchange(password()), kNackAfterSync);  // the firmware's reset vector differs
        EXPECT_EQ(w.target->peek(0xF000, 16) == Bytes(16, 0xFF), c.erases) << int(c.major);
        if (!c.erases) {
            EXPECT_EQ(w.target->peek(0xF000, 16), firmware);
        }
    }
}

TEST(SimProtocol, MalformedFramesAreRefused) {
    Bytes badChecksum = massErase();
    badChecksum.back() ^= 0x01;
    Bytes lengthsDiffer = readBlock(0x0FF0, 12);
    lengthsDiffer[3] = 0x06;
    Bytes noHeader = massErase();
    noHeader[0] = 0x81;
    struct Case {
        const char* what;
        Bytes frame;
    };
    const Case cases[] = {
        {"checksum", badChecksum},
        {"length bytes differ", lengthsDiffer},
        {"header byte", noHeader},
        {"mass erase without A506", frame(0x18, 0xFF00, 0xA502)},
        {"odd address", writeBlock(0xF001, {1, 2})},
        {"odd length", frame(0x12, 0xF000, 3, {1, 2, 3, 4})},
        {"length field not the data count", frame(0x12, 0xF000, 2, {1, 2, 3, 4})},
        {"block past FFFF", writeBlock(0xFFFE, {1, 2, 3, 4})},
        {"read of more than 250 bytes", readBlock(0x1100, 252)},
        {"unknown command", frame(0x16, 0xF000, 0xA502)},
        {"unsupported speed", changeBaud(0x8C80)},
        {"wrong rate code", frame(0x20, 0x87E0, 1)},
    };
    for (const Case& c : cases) {
        Wire w;
        unlock(w);
        EXPECT_EQ(w.exchange(c.frame, 120), kNackAfterSync) << c.what;
        // The loader is ready for the next frame.
        EXPECT_EQ(w.exchange(readBlock(0x0FFA, 2)), cat({0x90}, dataReply({0x01, 0x61}))) << c.what;
    }
}

TEST(SimMemory, FlashBitsOnlyClearRamIsWrittenRomIgnored) {
    Wire w;
    unlock(w);
    struct Case {
        const char* what;
        std::uint16_t address;
        Bytes first, second, expect;
    };
    const Case cases[] = {
        {"main flash ANDs", 0xF000, {0xF0, 0x3C}, {0x0F, 0xFF}, {0x00, 0x3C}},
        {"information flash ANDs", 0x1000, {0xAA, 0x55}, {0xFF, 0x0F}, {0xAA, 0x05}},
        {"RAM replaces", 0x0300, {0xF0, 0x3C}, {0x0F, 0xFF}, {0x0F, 0xFF}},
        {"ROM keeps its bytes", 0x0FF0, {0x00, 0x00}, {0x12, 0x34}, {0xF1, 0x49}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(w.exchange(writeBlock(c.address, c.first)), kAckOnly) << c.what;
        EXPECT_EQ(w.exchange(writeBlock(c.address, c.second)), kAckOnly) << c.what;
        EXPECT_EQ(w.target->peek(c.address, 2), c.expect) << c.what;
    }
    EXPECT_EQ(w.exchange(massErase()), kAckOnly);
    EXPECT_EQ(w.target->peek(0xF000, 2), Bytes({0xFF, 0xFF}));
    EXPECT_EQ(w.target->peek(0x1000, 2), Bytes({0xFF, 0xFF}));
    EXPECT_EQ(w.target->peek(0x0300, 2), Bytes({0x0F, 0xFF}));  // RAM is not flash
}

TEST(SimMemory, FreshChipHoldsOldFirmwareUnlessBlank) {
    Wire old;
    EXPECT_NE(old.target->peek(0xFFFE), 0xFF);
    EXPECT_NE(old.target->peek(0x1000), 0xFF);
    sim::SimConfig blank;
    blank.blankFlash = true;
    Wire erased(blank);
    for (std::uint32_t a = 0x1000; a < 0x10000; ++a)
        ASSERT_EQ(erased.target->peek(static_cast<std::uint16_t>(a)), 0xFF);
}

TEST(SimLoadPc, WhereTheLoaderGoes) {
    struct Case {
        const char* what;
        std::uint16_t address;
        bool writeRam;
        sim::SimTarget::Mode mode;
        bool replacement;
    };
    const Case cases[] = {
        {"ROM warm start", 0x0C22, false, sim::SimTarget::Mode::Loader, false},
        {"downloaded loader in RAM", 0x0222, true, sim::SimTarget::Mode::Loader, true},
        {"RAM never written", 0x0400, false, sim::SimTarget::Mode::Silent, false},
        {"programmed flash", 0xF000, false, sim::SimTarget::Mode::Application, false},
        {"erased flash", 0xE000, false, sim::SimTarget::Mode::Silent, false},
    };
    for (const Case& c : cases) {
        Wire w;
        unlock(w);
        EXPECT_EQ(w.exchange(writeBlock(0xF000, {0x31, 0x40})), kAckOnly);
        if (c.writeRam) {
            EXPECT_EQ(w.exchange(writeBlock(0x0220, {0x22, 0x02, 0xB2, 0x40})), kAckOnly);
        }
        EXPECT_EQ(w.exchange(loadPc(c.address)), kAckOnly) << c.what;
        EXPECT_EQ(w.target->mode(), c.mode) << c.what;
        EXPECT_EQ(w.target->replacementLoaderRunning(), c.replacement) << c.what;
    }
}

TEST(SimLoadPc, ReplacementLoaderIsUnlockedAndReportsItsVersion) {
    sim::SimConfig config;
    config.versionMinor = 0x10;  // 1.10
    Wire w(config);
    unlock(w);
    EXPECT_EQ(w.exchange(readBlock(0x0FF0, 12)),
              cat({0x90}, dataReply({0xF1, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x10})));
    EXPECT_EQ(w.exchange(writeBlock(0x0220, {0x22, 0x02, 0xB2, 0x40})), kAckOnly);
    EXPECT_EQ(w.exchange(loadPc(0x0222)), kAckOnly);
    EXPECT_FALSE(w.target->locked());
    EXPECT_EQ(w.exchange(readBlock(0x0FFA, 2)), cat({0x90}, dataReply({0x01, 0x50})));
    EXPECT_EQ(w.exchange(changeBaud(0x87E0)), kAckOnly);
    w.setFormat(kFast);
    EXPECT_EQ(w.exchange(writeBlock(0xF000, {1, 2})), kAckOnly);
}

TEST(SimBaud, SpeedChangeAnsweredAtTheOldSpeedThenOnlyTheNewOneWorks) {
    struct Case {
        bool inverted;
        std::uint16_t clock;
    };
    for (const Case c : {Case{false, 0x87E0}, Case{true, 0x8C80}}) {
        sim::SimConfig config;
        config.invertTest = c.inverted;
        Wire w(config);
        w.testMode = c.inverted;
        w.enterLoader();
        EXPECT_EQ(w.exchange(massErase()), kAckOnly);
        EXPECT_EQ(w.exchange(password()), kAckOnly);
        EXPECT_EQ(w.exchange(changeBaud(c.clock)), kAckOnly);
        // Still at 9600: the loader hears garbage and answers nothing useful.
        w.send({0x80});
        Bytes slow = w.take(100);
        EXPECT_TRUE(slow.empty() || slow != Bytes{0x90});
        w.wait(100);
        w.setFormat(kFast);
        EXPECT_EQ(w.exchange(readBlock(0x0FFA, 2)), cat({0x90}, dataReply({0x01, 0x61})));
    }
}

TEST(SimBaud, AnswerTakesExactlyOneCharacterTime) {
    Wire w;
    w.enterLoader();
    w.arrived.clear();
    w.send({0x80});
    std::uint64_t sent = w.now;
    w.take(5);
    const auto& trace = w.target->trace();
    auto last = std::find_if(trace.rbegin(), trace.rend(), [](const sim::TraceEntry& e) {
        return e.kind == sim::TraceEntry::Kind::ModelByte;
    });
    ASSERT_NE(last, trace.rend());
    EXPECT_EQ(last->byte, 0x90);
    EXPECT_EQ(last->timeNs, sent + kLoader.characterNs());  // 11 bits at 9600 Bd
}

TEST(SimWire, CharactersBetweenDifferentFormats) {
    const platform::LineFormat f9600e{9600, 8, 2, 0}, f9600n{9600, 8, 0, 0}, f9600o{9600, 8, 1, 0},
        f38400e{38400, 8, 2, 0}, f115200n{115200, 8, 0, 0};
    struct Case {
        const char* what;
        std::uint8_t byte;
        platform::LineFormat tx, rx;
        std::optional<std::uint8_t> expect;
    };
    const Case cases[] = {
        {"same format", 0x80, f9600e, f9600e, 0x80},
        {"slow into fast: framing error", 0x80, f9600e, f38400e, std::nullopt},
        {"fast into slow: another byte", 0x90, f38400e, f9600e, 0xFE},
        {"parity error", 0x01, f9600e, f9600o, std::nullopt},
        {"8E1 read as 8N1: a parity bit 0 is a framing error", 0x03, f9600e, f9600n, std::nullopt},
        {"8E1 read as 8N1: a parity bit 1 passes as stop bit", 0x01, f9600e, f9600n, 0x01},
        {"8N1 read as 8E1: stop bit taken as a wrong parity bit", 0x03, f9600n, f9600e,
         std::nullopt},
        {"8N1 read as 8E1: stop bit taken as a right parity bit", 0x01, f9600n, f9600e, 0x01},
        {"terminal speed into the loader", 0x41, f115200n, f9600e, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sim::decodeCharacter(c.byte, c.tx, c.rx), c.expect) << c.what;
}

TEST(SimProtocol, HeaderMayComeLongAfterTheAcknowledge) {
    // A slow host: the header's 0x80 comes late, the rest of the frame later still, byte by byte.
    // The loader waits for each byte; only a strict one (short frame time-out, late 0x80 taken as
    // a synchronisation) gets it wrong.
    struct Case {
        const char* what;
        std::string settings;
        double headerMs, restMs, betweenMs;  // after the acknowledge, after the 0x80, between bytes
        Bytes answer;                        // everything after the acknowledge of the sync
        bool erased;
    };
    const Case cases[] = {
        {"header 300 ms late", "", 300, 0, 0, {0x90}, true},
        {"every byte 900 ms after the one before", "", 900, 900, 900, {0x90}, true},
        {"strict: the rest 60 ms after the late 0x80 is too late",
         "frame-timeout=50ms",
         300,
         60,
         0,
         {},
         false},
        {"strict: the lone late 0x80 is taken as a synchronisation",
         "frame-timeout=50ms,late-sync=20ms",
         300,
         60,
         0,
         {0x90, 0xA0},
         false},
        {"strict, but the rest follows at once",
         "frame-timeout=50ms,late-sync=20ms",
         300,
         0,
         0,
         {0x90},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::SimConfig config;
        std::string error;
        ASSERT_TRUE(sim::parseSimSettings(c.settings, config, error)) << error;
        Wire w(config);
        w.enterLoader();
        w.send({0x80});
        EXPECT_EQ(w.take(5), Bytes{0x90});
        w.wait(c.headerMs - 5);
        const Bytes erase = massErase();
        w.send({erase[0]});
        w.wait(c.restMs);
        for (std::size_t i = 1; i < erase.size(); ++i) {
            if (i > 1) w.wait(c.betweenMs);
            w.send({erase[i]});
        }
        EXPECT_EQ(w.take(200), c.answer);
        EXPECT_EQ(w.target->peek(sim::kResetVector) == 0xFF, c.erased);
    }
}
