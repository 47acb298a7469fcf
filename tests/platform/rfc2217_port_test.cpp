// The rfc2217:// port over an in-memory connection on a virtual clock: what each kernel32 call
// puts on the wire, and how reads take the server's bytes, answers and a closed connection.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/memory_connection.h"
#include "platform/rfc2217_port.h"
#include "platform/telnet_stream.h"

using namespace k32;
using namespace platform::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr std::uint64_t kMs = platform::kNsPerMs;

// CreateFileA("mem") opens the port over a fresh MemoryConnection, on a virtual clock.
class NetworkPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousClock_ = platform::setProcessClock(&clock_);
        opener_ = platform::addDeviceOpener([this](const std::string& name, DWORD, bool&) {
            std::unique_ptr<platform::Device> port;
            if (name != "mem") return port;
            auto connection = std::make_unique<platform::MemoryConnection>();
            peer = connection.get();
            return platform::makeNetworkPort(std::move(connection));
        });
        handle = CreateFileA("mem", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        CloseHandle(handle);
        platform::removeDeviceOpener(opener_);
        platform::setProcessClock(previousClock_);
    }

    // What the port sent since the last call.
    Bytes sentSinceLast() {
        Bytes out(peer->sent.begin() + static_cast<std::ptrdiff_t>(seen_), peer->sent.end());
        seen_ = peer->sent.size();
        return out;
    }

    platform::VirtualClock clock_;
    HANDLE handle = INVALID_HANDLE_VALUE;
    platform::MemoryConnection* peer = nullptr;

private:
    platform::Clock* previousClock_ = nullptr;
    int opener_ = 0;
    std::size_t seen_ = 0;
};

Bytes comPort(std::uint8_t command, Bytes value) {
    Bytes out;
    appendComPort(out, command, value.data(), value.size());
    return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

DCB format(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
    dcb.StopBits = stop;
    return dcb;
}

}  // namespace

TEST_F(NetworkPortTest, EveryCallOnTheWire) {
    DCB current{};
    const HANDLE h = handle;
    auto setState = [&current, h](DCB dcb) {
        return [&current, h, dcb]() mutable {
            BOOL ok = SetCommState(h, &dcb);
            if (ok) current = dcb;
            return ok;
        };
    };
    auto escape = [h](DWORD f) { return [h, f] { return EscapeCommFunction(h, f); }; };
    auto purge = [h](DWORD f) { return [h, f] { return PurgeComm(h, f); }; };
    auto write = [h](Bytes data) {
        return [h, data]() -> BOOL {
            DWORD n = 0;
            BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr);
            return ok && n == data.size();
        };
    };
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        BOOL result;
        Bytes wire;
    };
    const Case cases[] = {
        {"the first format sends all of it and no flow control", setState(format(9600, 8, EVENPARITY, ONESTOPBIT)),
         TRUE,
         comPort(1, {0x00, 0x00, 0x25, 0x80}) + comPort(2, {8}) + comPort(3, {3}) + comPort(4, {1}) +
             comPort(5, {1})},
        {"the same format again sends nothing", setState(format(9600, 8, EVENPARITY, ONESTOPBIT)), TRUE, {}},
        {"a new speed sends only the speed", setState(format(38400, 8, EVENPARITY, ONESTOPBIT)), TRUE,
         comPort(1, {0x00, 0x00, 0x96, 0x00})},
        {"parity and stop bits", setState(format(38400, 8, NOPARITY, TWOSTOPBITS)), TRUE,
         comPort(3, {1}) + comPort(4, {2})},
        {"odd, one and a half", setState(format(38400, 7, ODDPARITY, ONE5STOPBITS)), TRUE,
         comPort(2, {7}) + comPort(3, {2}) + comPort(4, {3})},
        {"mark and space", setState(format(38400, 7, MARKPARITY, ONE5STOPBITS)), TRUE, comPort(3, {4})},
        {"space", setState(format(38400, 7, SPACEPARITY, ONE5STOPBITS)), TRUE, comPort(3, {5})},
        {"a speed whose value holds 0xFF is escaped", setState(format(0xFFFF, 7, SPACEPARITY, ONE5STOPBITS)), TRUE,
         {kIac, kSb, 44, 1, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}},
        {"a format the line cannot have fails, nothing sent", setState(format(9600, 9, NOPARITY, ONESTOPBIT)),
         FALSE, {}},
        {"nor a speed of 0", setState(format(0, 8, NOPARITY, ONESTOPBIT)), FALSE, {}},
        {"DTR on", escape(SETDTR), TRUE, comPort(5, {8})},
        {"DTR off", escape(CLRDTR), TRUE, comPort(5, {9})},
        {"RTS on", escape(SETRTS), TRUE, comPort(5, {11})},
        {"RTS off", escape(CLRRTS), TRUE, comPort(5, {12})},
        {"break on", escape(SETBREAK), TRUE, comPort(5, {5})},
        {"XON has no meaning here", escape(SETXON), FALSE, {}},
        {"purge both ways", purge(PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT), TRUE,
         comPort(12, {3})},
        {"purge what was received", purge(PURGE_RXCLEAR), TRUE, comPort(12, {1})},
        {"purge what is to be sent", purge(PURGE_TXCLEAR), TRUE, comPort(12, {2})},
        {"abort only: nothing to abort", purge(PURGE_TXABORT | PURGE_RXABORT), TRUE, {}},
        {"data with 0xFF doubled, one send", write({0x80, 0xFF, 0x00}), TRUE, {0x80, 0xFF, 0xFF, 0x00}},
        {"a byte at a time", write({0xFF}), TRUE, {0xFF, 0xFF}},
    };
    EXPECT_EQ(sentSinceLast(), (Bytes{kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill,
                                      kOptSuppressGoAhead, kIac, kDo, kOptSuppressGoAhead, kIac, kWill, kOptComPort}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(sentSinceLast(), c.wire);
        DCB now{};
        ASSERT_TRUE(GetCommState(handle, &now));
        EXPECT_EQ(now.BaudRate, current.BaudRate);
        EXPECT_EQ(now.ByteSize, current.ByteSize);
        EXPECT_EQ(now.Parity, current.Parity);
        EXPECT_EQ(now.StopBits, current.StopBits);
    }
    EXPECT_EQ(clock_.nowNs(), 0u) << "no call waits for the server";
}

TEST_F(NetworkPortTest, StartsAt9600EightNoneOne) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

TEST(NetworkPort, ReceiveSide) {
    struct Read {
        DWORD count;
        COMMTIMEOUTS timeouts;
        BOOL result;
        Bytes data;
        std::uint64_t elapsedNs;
    };
    const COMMTIMEOUTS total100{0, 0, 100, 0, 0};
    const COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    const COMMTIMEOUTS firstByte{MAXDWORD, MAXDWORD, 30, 0, 0};
    struct Case {
        const char* what;
        std::vector<Bytes> chunks;  // the server's bytes, one chunk per receive
        bool hangUp;
        bool purgeFirst;
        std::vector<Read> reads;
        Bytes answers;           // what the port sent back beyond its opening
        DWORD modemStatus;
    };
    const Case cases[] = {
        {"commands anywhere, split across chunks, are taken out of the data",
         {{0x41, kIac}, {kIac, kIac}, {kWill, 1, 0x42}, {kIac, kSb, 44, 107, 0xB0, kIac}, {kSe, 0x43, 0x44}},
         false, false, {{4, total100, TRUE, {0x41, 0xFF, 0x42, 0x43}, 0}, {1, total100, TRUE, {0x44}, 0}},
         {kIac, kDont, 1}, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"answers to our requests get no answer; refused requests change nothing",
         {{kIac, kDo, kOptBinary, kIac, kWill, kOptBinary, kIac, kDont, kOptComPort, kIac, kDo, 24, 0x10}}, false,
         false, {{1, atOnce, TRUE, {0x10}, 0}}, {kIac, kWont, 24}, 0},
        {"nothing arrives: the read waits its time-out", {}, false, false,
         {{2, total100, TRUE, {}, 100 * kMs}, {2, atOnce, TRUE, {}, 0}}, {}, 0},
        {"the first-byte wait ends with the first chunk", {{0x01, 0x02}, {0x03}}, false, false,
         {{3, firstByte, TRUE, {0x01, 0x02}, 0}, {3, firstByte, TRUE, {0x03}, 0}, {3, firstByte, TRUE, {}, 30 * kMs}},
         {}, 0},
        {"a purge drops what has arrived", {{0x01, 0x02}, {0x03}}, false, true, {{3, total100, TRUE, {}, 100 * kMs}},
         comPort(12, {1}), 0},
        {"a closed connection gives what came before it, then fails after the time-out", {{0x55}}, true, false,
         {{2, total100, TRUE, {0x55}, 0}, {2, total100, FALSE, {}, 100 * kMs}, {1, atOnce, FALSE, {}, 1 * kMs}}, {},
         0},
        {"an endless subnegotiation hides the data after it, nothing more",
         {{0x01, kIac, kSb, 44, 107}, Bytes(10000, 0x22)}, false, false, {{4, total100, TRUE, {0x01}, 100 * kMs}}, {},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::VirtualClock clock;
        platform::Clock* previous = platform::setProcessClock(&clock);
        auto connection = std::make_unique<platform::MemoryConnection>();
        platform::MemoryConnection& peer = *connection;
        for (const Bytes& chunk : c.chunks) peer.incoming.push_back(chunk);
        peer.hungUp = c.hangUp;
        std::unique_ptr<platform::Device> port = platform::makeNetworkPort(std::move(connection));
        ASSERT_TRUE(port);
        const std::size_t opening = peer.sent.size();
        if (c.purgeFirst) {
            EXPECT_TRUE(port->purge(PURGE_RXCLEAR));
        }
        for (const Read& r : c.reads) {
            const std::uint64_t start = clock.nowNs();
            Bytes data(r.count);
            DWORD got = 0;
            port->setCommTimeouts(r.timeouts);  // fails, still taking them, once the connection has ended
            EXPECT_EQ(port->read(data.data(), r.count, got), r.result != 0);
            data.resize(got);
            EXPECT_EQ(data, r.data);
            EXPECT_EQ(clock.nowNs() - start, r.elapsedNs);
        }
        EXPECT_EQ(Bytes(peer.sent.begin() + static_cast<std::ptrdiff_t>(opening), peer.sent.end()), c.answers);
        DWORD status = 0;
        EXPECT_EQ(port->modemStatus(status), !c.hangUp);
        EXPECT_EQ(status, c.modemStatus);
        if (c.hangUp) {
            DWORD written = 1;
            const std::uint8_t byte = 0x80;
            EXPECT_FALSE(port->write(&byte, 1, written));
            EXPECT_EQ(written, 0u);
            EXPECT_FALSE(port->escape(SETDTR));
            EXPECT_FALSE(port->setCommState(format(9600, 8, NOPARITY, ONESTOPBIT)));
        }
        port.reset();
        platform::setProcessClock(previous);
    }
}

TEST(NetworkPort, APeerThatStopsReadingEndsThePort) {
    auto connection = std::make_unique<platform::MemoryConnection>();
    platform::MemoryConnection& peer = *connection;
    std::unique_ptr<platform::Device> port = platform::makeNetworkPort(std::move(connection));
    ASSERT_TRUE(port);
    peer.refusesSends = true;
    const std::uint8_t byte = 0x80;
    DWORD written = 1;
    EXPECT_FALSE(port->write(&byte, 1, written));
    EXPECT_EQ(written, 0u);
    peer.refusesSends = false;
    EXPECT_FALSE(port->escape(SETRTS)) << "a stream cut inside a command cannot go on";
    EXPECT_FALSE(port->purge(PURGE_RXCLEAR));

    auto refused = std::make_unique<platform::MemoryConnection>();
    refused->refusesSends = true;
    EXPECT_FALSE(platform::makeNetworkPort(std::move(refused))) << "the opening could not be sent";
}
