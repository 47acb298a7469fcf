// Port configuration, byte writes and timed byte reads, checked through the calls they make and
// the virtual times they make them at.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit/test_bench.h"
#include "serial/serial_port.h"

using namespace k32;
using platform::kNsPerMs;
using platform::TestBench;

namespace {

std::vector<std::string> callNames(const platform::CallLog& log) {
    std::vector<std::string> names;
    for (const auto& c : log.calls) names.push_back(c.name);
    return names;
}

// A bench with the port opened as the program's port.
struct SerialBench : TestBench {
    explicit SerialBench(std::uint32_t startTick = 0) : TestBench(startTick) {
        portHandle = open();
        deviceControl = DCB{};
        log.clear();
    }
    ~SerialBench() { portHandle = INVALID_HANDLE_VALUE; }
};

}  // namespace

TEST(SerialPort, ConfigurePortSetsFormatTimeoutsAndPurges) {
    struct Case {
        std::uint32_t baud;
        std::uint8_t parity;
    };
    for (Case c : {Case{9600, EVENPARITY}, Case{115200, NOPARITY}}) {
        SCOPED_TRACE(c.baud);
        SerialBench bench;
        // The port comes with handshakes and time-outs of its own and a byte already received.
        DCB before{};
        GetCommState(portHandle, &before);
        before.fDtrControl = DTR_CONTROL_HANDSHAKE;
        before.fRtsControl = RTS_CONTROL_HANDSHAKE;
        before.fOutxCtsFlow = 1;
        before.fOutX = 1;
        before.fInX = 1;
        before.fAbortOnError = 1;
        before.StopBits = TWOSTOPBITS;
        before.XonLim = 77;
        SetCommState(portHandle, &before);
        COMMTIMEOUTS slow{5, 6, 7, 8, 9};
        SetCommTimeouts(portHandle, &slow);
        bench.peer->send({0x42});
        Sleep(10);
        bench.log.clear();

        presetDeviceControl();
        configurePort(c.baud, c.parity);

        const std::uint64_t fParity = c.parity != 0 ? 1 : 0;
        ASSERT_EQ(callNames(bench.log), (std::vector<std::string>{"GetCommState", "SetCommState",
                                                                  "SetCommTimeouts", "PurgeComm"}));
        EXPECT_EQ(bench.log.calls[1].args,
                  (std::vector<std::uint64_t>{c.baud, 8, c.parity, ONESTOPBIT, fParity,
                                              DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}));
        EXPECT_EQ(bench.log.calls[2].args, (std::vector<std::uint64_t>{0, 0, 0, 0, 0}));
        EXPECT_EQ(bench.log.calls[3].args, (std::vector<std::uint64_t>{15}));

        const DCB& port = bench.port()->commState();
        EXPECT_EQ(port.fOutxCtsFlow, 0u);
        EXPECT_EQ(port.fOutX, 0u);
        EXPECT_EQ(port.fInX, 0u);
        EXPECT_EQ(port.fAbortOnError, 0u);
        EXPECT_EQ(port.XonLim, 77);  // what the program does not set stays as the port had it
        EXPECT_EQ(bench.port()->format().baud, c.baud);
        EXPECT_EQ(bench.port()->pendingBytes(), 0u);
    }
}

TEST(SerialPort, WriteBytesMakesOneWritePerByte) {
    SerialBench bench;
    const std::uint8_t data[] = {0x80, 0x00, 0xFF};
    writeBytes(data, 0);
    EXPECT_TRUE(bench.log.calls.empty());
    writeBytes(data, 3);
    auto writes = bench.log.named("WriteFile");
    ASSERT_EQ(writes.size(), 3u);
    const char* texts[] = {"80", "00", "FF"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(writes[i].args, (std::vector<std::uint64_t>{1, 1}));
        EXPECT_EQ(writes[i].text, texts[i]);
    }
    // The last two are still on the wire when the calls return; a read lets them arrive.
    readByte(5);
    EXPECT_EQ(bench.peer->receivedBytes(), std::vector<std::uint8_t>(data, data + 3));
}

TEST(SerialPort, ReadByteWaitsItsTimeOutAndNoLonger) {
    struct Case {
        const char* what;
        std::uint32_t startTick;
        std::uint32_t timeout;
        std::vector<std::uint8_t> waiting;  // received before the call
        int sendAtMs;                       // -1: nothing sent during the call
        std::uint8_t sent;
        int expect;
        double expectMs;
    };
    const double charMs = 1.041667;
    const Case cases[] = {
        {"poll, silent line", 0, 0, {}, -1, 0, 0xFF, 0},
        {"poll, bytes waiting", 0, 0, {0x31, 0x32}, -1, 0, 0x31, 0},
        {"100 ms, silent line", 0, 100, {}, -1, 0, 0xFF, 100},
        {"100 ms, byte after 40 ms", 0, 100, {}, 40, 0x90, 0x90, 40 + charMs},
        {"received 0xFF looks like a time-out", 0, 100, {}, 10, 0xFF, 0xFF, 10 + charMs},
        {"tick count wraps during the wait", 0xFFFFFFC0u, 100, {}, -1, 0, 0xFF, 100},
        {"tick count wraps before the byte", 0xFFFFFFF0u, 100, {}, 60, 0x55, 0x55, 60 + charMs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SerialBench bench(c.startTick);
        if (!c.waiting.empty()) {
            bench.peer->send(c.waiting);
            bench.clock.advanceNs(10 * kNsPerMs);
        }
        const std::uint64_t startNs = bench.clock.nowNs();
        if (c.sendAtMs >= 0) bench.peer->sendAt(startNs + c.sendAtMs * kNsPerMs, {c.sent});
        bench.log.clear();
        EXPECT_EQ(readByte(c.timeout), c.expect);
        EXPECT_NEAR(static_cast<double>(bench.clock.nowNs() - startNs) / kNsPerMs, c.expectMs,
                    0.001);
        // One pass: one SetCommTimeouts and ReadFile pair, with the time left as its time-out.
        auto sets = bench.log.named("SetCommTimeouts");
        ASSERT_EQ(sets.size(), 1u);
        ASSERT_EQ(bench.log.named("ReadFile").size(), 1u);
        std::uint64_t interval = c.timeout == 0 ? MAXDWORD : c.timeout;
        std::uint64_t multiplier = c.timeout == 0 ? 0 : c.timeout;
        EXPECT_EQ(sets[0].args, (std::vector<std::uint64_t>{interval, multiplier, 0, 0, 0}));
    }
}

namespace {

// A port whose reads come back empty after at most 30 ms, whatever time-out they were given, as
// some drivers do: readByte has to make further passes with the time that is left.
class ShortReadPort : public platform::Device {
public:
    bool getCommTimeouts(COMMTIMEOUTS& t) override {
        t = timeouts;
        return true;
    }
    bool setCommTimeouts(const COMMTIMEOUTS& t) override {
        timeouts = t;
        return true;
    }
    bool read(void*, DWORD count, DWORD& got) override {
        got = 0;
        std::uint64_t waitMs =
            timeouts.ReadIntervalTimeout == MAXDWORD && timeouts.ReadTotalTimeoutMultiplier == 0
                ? 0
                : std::min<std::uint64_t>(
                      30, std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count);
        platform::Clock& clock = platform::processClock();
        clock.sleepUntilNs(clock.nowNs() + waitMs * kNsPerMs);
        return true;
    }
    COMMTIMEOUTS timeouts{};
};

}  // namespace

TEST(SerialPort, ReadByteMakesFurtherPassesWhenReadsReturnEarly) {
    for (std::uint32_t startTick : {0u, 0xFFFFFFE0u}) {
        SCOPED_TRACE(startTick);
        platform::VirtualClock clock(startTick);
        platform::Clock* previousClock = platform::setProcessClock(&clock);
        platform::CallLog log;
        platform::setCallLog(&log);
        int opener = platform::addDeviceOpener(
            [](const std::string& name, DWORD, bool&) -> std::unique_ptr<platform::Device> {
                return name == "SHORT" ? std::make_unique<ShortReadPort>() : nullptr;
            });
        portHandle = CreateFileA("SHORT", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 0, nullptr);
        log.clear();

        EXPECT_EQ(readByte(100), 0xFF);
        EXPECT_EQ(clock.nowNs(), 100 * kNsPerMs);
        std::vector<std::uint64_t> lefts;
        for (const auto& c : log.named("SetCommTimeouts")) lefts.push_back(c.args[1]);
        EXPECT_EQ(lefts, (std::vector<std::uint64_t>{100, 70, 40, 10}));

        CloseHandle(portHandle);
        portHandle = INVALID_HANDLE_VALUE;
        platform::removeDeviceOpener(opener);
        platform::setCallLog(nullptr);
        platform::setProcessClock(previousClock);
    }
}

TEST(SerialPort, ReadByteOnAPulledAdapterStillEndsAtItsTimeOut) {
    SerialBench bench;
    bench.port()->unplug();
    EXPECT_EQ(readByte(100), 0xFF);
    EXPECT_EQ(bench.clock.nowNs(), 100 * kNsPerMs);
}

TEST(SerialPort, ModemRingIndicatorFollowsTheInput) {
    SerialBench bench;
    EXPECT_EQ(modemRingIndicator(), 0);
    bench.peer->ring = true;
    EXPECT_EQ(modemRingIndicator(), 1);
    bench.peer->ring = false;
    EXPECT_EQ(modemRingIndicator(), 0);
}
