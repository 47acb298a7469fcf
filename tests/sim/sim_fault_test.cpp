// Faults injected through the settings text, each seen from the host's side of the wire, and the
// settings text itself.
#include <gtest/gtest.h>

#include <string>

#include "sim/sim_device.h"
#include "sim_wire.h"

using namespace simtest;

namespace {

Bytes reply(std::uint8_t l1, std::uint8_t l2, const Bytes& data) {
    Bytes r = cat({0x80, 0x00, l1, l2}, data);
    std::uint16_t ck = sim::frameChecksum(r.data(), r.size());
    return cat(r, {static_cast<std::uint8_t>(ck), static_cast<std::uint8_t>(ck >> 8)});
}

sim::SimConfig configured(const std::string& settings) {
    sim::SimConfig config;
    std::string error;
    EXPECT_TRUE(sim::parseSimSettings(settings, config, error)) << error;
    return config;
}

const Bytes kSyncOnly{};  // a step that sends the synchronisation byte alone

}  // namespace

TEST(SimFaults, EachFaultAsTheHostSeesIt) {
    struct Step {
        Bytes frame;  // kSyncOnly: only the synchronisation byte
        Bytes answer;
    };
    struct Case {
        std::string settings;
        std::vector<Step> steps;
    };
    const Bytes ok{0x90, 0x90};
    const Step erase{massErase(), ok}, unlock{password(), ok};
    const Case cases[] = {
        {"fault=nack:erase:2", {erase, {massErase(), {0x90, 0xA0}}, erase}},
        {"fault=nack:erase:2+", {erase, {massErase(), {0x90, 0xA0}}, {massErase(), {0x90, 0xA0}}}},
        {"fault=stray:erase:1:33", {{massErase(), {0x90, 0x33}}, erase}},
        {"fault=mute:password:1", {erase, {password(), {0x90}}, unlock}},
        {"fault=nack:any:3", {erase, unlock, {readBlock(0x0FF0, 2), {0x90, 0xA0}}}},
        {"fault=length:read:1",
         {erase, unlock, {readBlock(0x0FF0, 2), cat({0x90}, reply(2, 3, {0xF1, 0x49}))}}},
        {"fault=length:erase:1", {{massErase(), cat({0x90}, reply(0, 1, {}))}}},
        {"fault=stall:read:1", {erase, unlock, {readBlock(0x0FF0, 2), {0x90, 0x80}}}},
        {"fault=mute-after:erase:1", {erase, {kSyncOnly, {}}, {kSyncOnly, {}}}},
        {"fault=nack:sync:1", {{kSyncOnly, {0xA0}}, erase}},
        {"fault=mute:sync:2+", {erase, {kSyncOnly, {}}, {kSyncOnly, {}}, {kSyncOnly, {}}}},
        {"fault=prefix:sync:1:55AA", {{massErase(), {0x55, 0xAA, 0x90, 0x90}}}},
        {"fault=prefix:erase:1:07", {{massErase(), {0x90, 0x07, 0x90}}}},
        {"fault=corrupt:0FF1:FF",
         {erase, unlock, {readBlock(0x0FF0, 2), cat({0x90}, reply(2, 2, {0xF1, 0xB6}))}}},
        {"fault=garble-rx:1", {{kSyncOnly, {}}, erase}},
        {"fault=drop-rx:1", {{kSyncOnly, {}}, erase}},
        {"fault=garble-rx:2:40", {{massErase(), {0x90, 0xA0}}, erase}},
        // The host misses the acknowledge and synchronises again after its time-out: a loader that
        // waits for the frame takes that 0x80 as its header, a strict one acknowledges it.
        {"fault=garble-tx:1", {{kSyncOnly, {0x91}}, {kSyncOnly, {}}}},
        {"fault=garble-tx:1,frame-timeout=50ms,late-sync=20ms",
         {{kSyncOnly, {0x91}}, {kSyncOnly, {0x90}}}},
        {"fault=drop-tx:2", {{massErase(), {0x90}}, erase}},
        {"fault=silent", {{kSyncOnly, {}}}},
        {"fault=ignore-entry", {{kSyncOnly, {}}}},
        {"fault=fake-baud",
         {erase,
          unlock,
          {changeBaud(0x87E0), ok},
          {readBlock(0x0FFA, 2), cat({0x90}, reply(2, 2, {0x01, 0x61}))}}},
    };
    for (const Case& c : cases) {
        Wire w(configured(c.settings));
        w.enterLoader();
        int index = 0;
        for (const Step& s : c.steps) {
            ++index;
            Bytes answer;
            if (s.frame.empty()) {
                w.send({0x80});
                answer = w.take(100);
            } else {
                answer = w.exchange(s.frame, 120);
            }
            EXPECT_EQ(answer, s.answer) << c.settings << ", step " << index;
        }
    }
}

TEST(SimFaults, ASecondSynchronisationByteStartsTheFrame) {
    // The host reads the stray byte as the answer to its first 0x80 and sends another 0x80. The
    // loader has acknowledged the first one and waits for a header: the second 0x80 is that
    // header, the frame that follows is malformed, and it is answered 0xA0 once the line is quiet.
    Wire w(configured("fault=prefix:sync:1:55"));
    w.enterLoader();
    w.send({0x80});
    EXPECT_EQ(w.take(5), Bytes({0x55, 0x90}));
    w.send({0x80});
    EXPECT_TRUE(w.take(10).empty());
    w.send(massErase());
    EXPECT_EQ(w.take(100), Bytes{0xA0});
}

TEST(SimFaults, DroppedHostByteAbandonsTheFrameAfterAPause) {
    struct Case {
        std::string settings;
        double pauseMs;  // waited for an answer to the incomplete frame, longer than the time-out
    };
    for (const Case& c :
         {Case{"fault=drop-rx:11", 1010}, Case{"fault=drop-rx:11,frame-timeout=50ms", 60}}) {
        SCOPED_TRACE(c.settings);
        Wire w(configured(c.settings));
        w.enterLoader();
        EXPECT_EQ(w.exchange(massErase(), c.pauseMs),
                  Bytes{0x90});  // the loader waits for a missing byte
        EXPECT_EQ(w.exchange(massErase()), Bytes({0x90, 0x90}));
    }
}

TEST(SimSettings, AcceptedAndRefused) {
    sim::SimConfig c = configured(
        "version=1.10,invert-test,app-baud=9600,chip=f413,blank,erase-time=200ms,write-time=20us,"
        "ready=1s,"
        "fault=nack:mass-erase:3,fault=stray:0x18:2+:A0,fault=corrupt:F000,trace=/tmp/"
        "sim-settings-test.txt");
    EXPECT_EQ(c.versionMajor, 0x01);
    EXPECT_EQ(c.versionMinor, 0x10);
    EXPECT_TRUE(c.invertTest);
    EXPECT_TRUE(c.blankFlash);
    EXPECT_EQ(c.appFormat.baud, 9600u);
    EXPECT_EQ(c.chipType, 0xF413);
    EXPECT_EQ(c.massEraseNs, 200 * kMs);
    EXPECT_EQ(c.writeNsPerByte, 20000u);
    EXPECT_EQ(c.loaderReadyNs, 1000 * kMs);
    EXPECT_EQ(c.frameTimeoutNs, 1000 * kMs);  // a loader that waits for a slow host
    EXPECT_EQ(c.lateSyncNs, 0u);
    sim::SimConfig strict = configured("frame-timeout=50ms,late-sync=20ms,discard-pause=70ms");
    EXPECT_EQ(strict.frameTimeoutNs, 50 * kMs);
    EXPECT_EQ(strict.lateSyncNs, 20 * kMs);
    EXPECT_EQ(strict.discardPauseNs, 70 * kMs);
    sim::SimConfig board = configured("chip=f1611,uart=usart1,xt2=8000000");
    EXPECT_EQ(board.chipType, 0xF16C);
    EXPECT_EQ(board.hostUsart, 1);
    EXPECT_EQ(board.xt2Hz, 8000000u);
    ASSERT_EQ(c.faults.size(), 3u);
    EXPECT_EQ(c.faults[1].kind, 0x18);
    EXPECT_TRUE(c.faults[1].andLater);
    EXPECT_EQ(c.faults[1].value, 0xA0);
    EXPECT_EQ(c.faults[2].address, 0xF000);
    EXPECT_EQ(c.tracePath, "/tmp/sim-settings-test.txt");

    const char* refused[] = {"bogus",
                             "version=1",
                             "version=1.100",
                             "app-baud=0",
                             "invert-test=1",
                             "fault=nack:erase:0",
                             "fault=nack:bogus:1",
                             "fault=prefix:sync:1",
                             "fault=corrupt:10000",
                             "ready=5min",
                             "trace=",
                             "fault=garble-rx:1:00",
                             "fault=",
                             "version=1.10,,blank",
                             "chip=xyz",
                             "chip=F1612",
                             "uart=usart2",
                             "xt2=9000000",
                             "adc=A0:1V,chip=F1232",
                             "fault=nack:erase:1:2"};
    for (const char* text : refused) {
        sim::SimConfig config;
        std::string error;
        EXPECT_FALSE(sim::parseSimSettings(text, config, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}
