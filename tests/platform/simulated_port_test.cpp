// The simulated port on a virtual clock: the transmitter's timing of writes, Windows read
// time-outs, purging, lines, ring indicator and a pulled adapter.
#include <gtest/gtest.h>

#include <vector>

#include "kit/test_bench.h"
#include "platform/simulated/simulated_port.h"

using namespace k32;
using platform::kNsPerMs;
using platform::TestBench;

namespace {

constexpr std::uint64_t kMs = kNsPerMs;
constexpr std::uint64_t kChar = 1041667;      // one character at 9600 Bd 8N1, rounded up to the ns
constexpr std::uint64_t kCharEven = 1145834;  // at 9600 Bd 8E1

void setTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

void setFormat(HANDLE h, DWORD baud, BYTE parity) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = baud;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    ASSERT_TRUE(SetCommState(h, &dcb));
}

}  // namespace

TEST(TestPort, TheTransmitterTakesAByteOnceTheOneBeforeHasStarted) {
    constexpr std::uint64_t c = kCharEven;
    struct Call {
        std::uint64_t atNs;  // when the host makes the call (or at once when it is still busy)
        DWORD count;
    };
    struct Case {
        const char* what;
        std::vector<Call> calls;
        std::vector<std::uint64_t> returnsNs;  // when each call returns
        std::vector<std::uint64_t> arrivesNs;  // when each byte's stop bit ends at the far end
    };
    const Case cases[] = {
        {"three bytes in one call", {{0, 3}}, {c}, {c, 2 * c, 3 * c}},
        {"one byte per call, back to back",
         {{0, 1}, {0, 1}, {0, 1}, {0, 1}},
         {0, 0, c, 2 * c},
         {c, 2 * c, 3 * c, 4 * c}},
        {"the host refills within a character time",
         {{0, 1}, {c * 9 / 10, 1}, {c * 18 / 10, 1}, {c * 27 / 10, 1}},
         {0, c * 9 / 10, c * 18 / 10, c * 27 / 10},
         {c, 2 * c, 3 * c, 4 * c}},
        {"a late host leaves the wire idle",
         {{0, 2}, {c * 5 / 2, 1}},
         {0, c * 5 / 2},
         {c, 2 * c, c * 7 / 2}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.what);
        TestBench bench;
        HANDLE h = bench.open();
        setFormat(h, 9600, EVENPARITY);
        std::uint8_t next = 0;
        for (std::size_t i = 0; i < cs.calls.size(); ++i) {
            bench.clock.sleepUntilNs(cs.calls[i].atNs);
            std::uint8_t bytes[4] = {next, static_cast<std::uint8_t>(next + 1),
                                     static_cast<std::uint8_t>(next + 2)};
            next = static_cast<std::uint8_t>(next + cs.calls[i].count);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(h, bytes, cs.calls[i].count, &written, nullptr));
            EXPECT_EQ(written, cs.calls[i].count);
            EXPECT_EQ(bench.clock.nowNs(), cs.returnsNs[i]) << "call " << i;
            EXPECT_LE(bench.port()->bytesInFlight(), 2u);  // one shifting out, one waiting
        }
        // Closing waits for the last byte to leave.
        EXPECT_TRUE(CloseHandle(h));
        bench.handle = INVALID_HANDLE_VALUE;
        EXPECT_EQ(bench.clock.nowNs(), cs.arrivesNs.back());
        ASSERT_EQ(bench.peer->received.size(), cs.arrivesNs.size());
        for (std::size_t i = 0; i < cs.arrivesNs.size(); ++i) {
            EXPECT_EQ(bench.peer->received[i].byte, i);
            EXPECT_EQ(bench.peer->received[i].timeNs, cs.arrivesNs[i]) << "byte " << i;
        }
    }
}

TEST(TestPort, BytesOnTheWayKeepTheirFormatAndTimeOrderWithTheHostsOtherChanges) {
    TestBench bench;
    HANDLE h = bench.open();
    setFormat(h, 9600, EVENPARITY);
    std::vector<std::size_t> changesSeen;  // line and format changes the peer knew of at each byte
    bench.peer->onByte = [&](platform::ScriptedPeer& p, std::uint64_t, std::uint8_t) {
        changesSeen.push_back(p.lineChanges.size() + p.formatChanges.size());
    };
    bench.peer->answer(0x24, {0x90});
    std::uint8_t header[] = {0x80, 0x10};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, header, 2, &n, nullptr));
    ASSERT_EQ(bench.clock.nowNs(), 0u);
    setFormat(h, 38400, NOPARITY);  // while both bytes are still on their way
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    std::uint8_t last = 0x24;
    ASSERT_TRUE(WriteFile(h, &last, 1, &n, nullptr));
    EXPECT_EQ(bench.clock.nowNs(), kCharEven);  // taken once the second byte started

    // With no time-outs at all the read still waits for the answer to the byte on its way.
    setTimeouts(h, 0, 0, 0);
    std::uint8_t byte = 0;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(byte, 0x90);
    const platform::LineFormat fast{38400, 8, NOPARITY, ONESTOPBIT};
    EXPECT_EQ(bench.clock.nowNs(), 2 * kCharEven + 2 * fast.characterNs());

    ASSERT_EQ(bench.peer->received.size(), 3u);
    EXPECT_EQ(bench.peer->received[1].format.parity, EVENPARITY);
    EXPECT_EQ(bench.peer->received[1].format.baud, 9600u);
    EXPECT_EQ(bench.peer->received[2].format, fast);
    EXPECT_EQ(changesSeen, (std::vector<std::size_t>{3, 3, 3}));
    ASSERT_EQ(bench.peer->formatChanges.size(), 2u);
    EXPECT_EQ(bench.peer->formatChanges[1].timeNs, 0u);
}

TEST(TestPort, ReadTimeoutsFollowWindowsRules) {
    struct Case {
        const char* what;
        DWORD interval, multiplier, constant, count;
        std::vector<std::uint64_t> peerSendsAtMs;  // one byte each
        DWORD expectRead;
        std::uint64_t expectReturnNs;
    };
    const Case cases[] = {
        {"immediate, nothing there", MAXDWORD, 0, 0, 1, {}, 0, 0},
        {"immediate, byte still on the wire", MAXDWORD, 0, 0, 1, {0}, 0, 0},
        {"total 100 ms, silent", 100, 100, 0, 1, {}, 0, 100 * kMs},
        {"total 100 ms, byte at 30 ms", 100, 100, 0, 1, {30}, 1, 30 * kMs + kChar},
        {"total 100 ms, byte too late", 100, 100, 0, 1, {100}, 0, 100 * kMs},
        {"multiplier x count + constant", 0, 10, 5, 3, {}, 0, 35 * kMs},
        // The second byte waits for the first to leave the far end; then 20 ms of silence.
        {"interval ends a read after a byte",
         20,
         0,
         0,
         4,
         {1, 2, 60},
         2,
         1 * kMs + 2 * kChar + 20 * kMs},
        {"no time-outs, peer idle: returns with what it has", 0, 0, 0, 3, {5}, 1, 5 * kMs + kChar},
        {"first byte wait", MAXDWORD, MAXDWORD, 50, 4, {10, 10}, 1, 10 * kMs + kChar},
        {"first byte wait, silent", MAXDWORD, MAXDWORD, 50, 4, {}, 0, 50 * kMs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestBench bench;
        HANDLE h = bench.open();
        for (std::uint64_t ms : c.peerSendsAtMs) bench.peer->sendAt(ms * kNsPerMs, {0x5A});
        setTimeouts(h, c.interval, c.multiplier, c.constant);
        std::uint8_t buffer[8] = {};
        DWORD got = 99;
        EXPECT_TRUE(ReadFile(h, buffer, c.count, &got, nullptr));
        EXPECT_EQ(got, c.expectRead);
        EXPECT_EQ(bench.clock.nowNs(), c.expectReturnNs);
    }
}

TEST(TestPort, AnswersArriveAfterTheQuestionAndPurgeDropsOnlyWhatArrived) {
    TestBench bench;
    HANDLE h = bench.open();
    bench.peer->answer(0x80, {0x90});
    std::uint8_t sync = 0x80;
    DWORD n = 0;
    WriteFile(h, &sync, 1, &n, nullptr);
    setTimeouts(h, 10, 10, 0);
    std::uint8_t byte = 0;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(byte, 0x90);
    EXPECT_EQ(bench.clock.nowNs(), 2 * kChar);

    // Two bytes have arrived, a third is on the wire when the buffers are purged; so are two of
    // the host's, which the transmitter has taken and still sends.
    bench.peer->sendAt(bench.clock.nowNs(), {1, 2, 3});
    bench.clock.advanceNs(2 * kChar + kChar / 2);
    std::uint8_t out[] = {7, 8};
    WriteFile(h, out, 2, &n, nullptr);
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    std::uint8_t rest[4] = {};
    ASSERT_TRUE(ReadFile(h, rest, 4, &n, nullptr));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(rest[0], 3);
    EXPECT_EQ(bench.peer->receivedBytes(), (std::vector<std::uint8_t>{0x80, 7, 8}));
}

TEST(TestPort, LinesRingAndUnplug) {
    TestBench bench;
    HANDLE h = bench.open();
    EXPECT_EQ(
        CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);  // exclusive while open
    EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
    Sleep(5);
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_FALSE(EscapeCommFunction(h, 77));
    ASSERT_EQ(bench.peer->lineChanges.size(), 3u);
    EXPECT_TRUE(bench.peer->lineChanges[0].dtr);
    EXPECT_FALSE(bench.peer->lineChanges[0].rts);
    EXPECT_EQ(bench.peer->lineChanges[1].timeNs, 5 * kNsPerMs);
    EXPECT_FALSE(bench.peer->lineChanges[2].dtr);
    EXPECT_TRUE(bench.peer->lineChanges[2].rts);
    EXPECT_TRUE(bench.port()->rts());

    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status & MS_RING_ON, 0u);
    bench.peer->ring = true;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status & MS_RING_ON, MS_RING_ON);

    // Pulled while the first of three bytes has just arrived: the other two are cut off.
    std::uint8_t out[] = {1, 2, 3};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, out, 3, &n, nullptr));
    bench.clock.advanceNs(kChar / 2);
    bench.peer->sendAt(0, {0x11});
    bench.port()->unplug();
    EXPECT_EQ(bench.peer->receivedBytes(), std::vector<std::uint8_t>{1});
    COMMTIMEOUTS t{40, 40, 0, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(h, &t));
    std::uint8_t byte = 0;
    n = 9;
    std::uint64_t before = bench.clock.nowNs();
    EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(bench.clock.nowNs(), before + 40 * kMs);  // the byte sent before is lost too
    EXPECT_FALSE(WriteFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(bench.peer->received.size(), 1u);
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));

    EXPECT_TRUE(CloseHandle(h));
    bench.handle = INVALID_HANDLE_VALUE;
    EXPECT_NE(bench.open(), INVALID_HANDLE_VALUE);  // free again after close
}

TEST(TestPort, AdapterPulledByTheFarEndDuringACallTakesEverythingWithIt) {
    // The far end pulls the adapter when the host's first byte reaches it. A byte it sent earlier
    // has already been handed to the port; a read under way must not return it, and a write under
    // way must not send any more.
    struct Case {
        const char* what;
        bool readAfterWrite;  // false: the unplug comes while the write is still taking bytes
    };
    for (const Case& c : {Case{"during a read", true}, Case{"during a write", false}}) {
        SCOPED_TRACE(c.what);
        TestBench bench;
        HANDLE h = bench.open();
        bench.peer->sendAt(0, {0x5A});
        bench.peer->onByte = [&](platform::ScriptedPeer&, std::uint64_t, std::uint8_t) {
            bench.port()->unplug();
        };
        const std::uint8_t out[] = {1, 2, 3};
        DWORD n = 0;
        if (c.readAfterWrite) {
            ASSERT_TRUE(WriteFile(h, out, 1, &n, nullptr));
            setTimeouts(h, 40, 40, 0);
            std::uint8_t in[2] = {};
            n = 9;
            EXPECT_FALSE(ReadFile(h, in, 2, &n, nullptr));
            EXPECT_EQ(n, 0u);
            EXPECT_EQ(bench.clock.nowNs(), 80 * kMs);  // fails once its time-out has passed
        } else {
            EXPECT_FALSE(WriteFile(h, out, 3, &n, nullptr));
            EXPECT_EQ(bench.clock.nowNs(), kChar);
        }
        EXPECT_EQ(bench.port()->pendingBytes(), 0u);
        bench.clock.advanceNs(10 * kMs);
        DCB dcb{};
        EXPECT_FALSE(GetCommState(h, &dcb));
        std::uint8_t byte = 0;
        EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
        EXPECT_EQ(bench.peer->receivedBytes(), std::vector<std::uint8_t>{1});
    }
}

// Terminal mode's wait: the port is signaled once a byte has arrived, the virtual clock leaping
// to it; a wait that nothing can end fails instead of hanging, as does one on a closed handle.
TEST(TestPort, WaitEndsWhenAByteArrives) {
    TestBench bench;
    HANDLE h = bench.open();
    bench.peer->answer(0x80, {0x90});
    std::uint8_t sync = 0x80;
    DWORD n = 0;
    WriteFile(h, &sync, 1, &n, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(1, &h, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(bench.clock.nowNs(), 2 * kChar);
    EXPECT_EQ(WaitForMultipleObjects(1, &h, FALSE, 0), WAIT_OBJECT_0);  // until it is read
    std::uint8_t byte = 0;
    setTimeouts(h, MAXDWORD, 0, 0);
    ASSERT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));

    // The peer's next byte, with another port in front of it that has no far end.
    const int opener = platform::addDeviceOpener(
        [](const std::string& name, DWORD, bool&) -> std::unique_ptr<platform::Device> {
            if (name != "COM9") return nullptr;
            return std::make_unique<platform::SimulatedPort>(nullptr);
        });
    HANDLE second = CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    platform::removeDeviceOpener(opener);
    HANDLE both[2] = {second, h};
    bench.peer->sendAt(bench.clock.nowNs() + 7 * kMs, {0x41});
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 3), WAIT_TIMEOUT);
    EXPECT_EQ(bench.clock.nowNs(), 2 * kChar + 3 * kMs);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    ASSERT_TRUE(ReadFile(h, &byte, 1, &n, nullptr));
    EXPECT_EQ(byte, 0x41);

    // Nothing more can come: no time-out fails at once, one is waited out.
    EXPECT_EQ(WaitForMultipleObjects(1, &h, FALSE, INFINITE), WAIT_FAILED);
    const std::uint64_t before = bench.clock.nowNs();
    EXPECT_EQ(WaitForMultipleObjects(1, &h, FALSE, 5), WAIT_TIMEOUT);
    EXPECT_EQ(bench.clock.nowNs(), before + 5 * kMs);
    CloseHandle(second);
    EXPECT_EQ(WaitForMultipleObjects(1, &second, FALSE, 5), WAIT_FAILED);
}
