// The sim device through the kernel32 calls, on a virtual clock: opening with settings, the entry
// sequence on DTR/RTS, a timed exchange, the trace file (with or without the trace in memory) and
// the hook for in-process tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/clock.h"
#include "platform/kernel32.h"
#include "sim/sim_device.h"
#include "sim/sim_target.h"

using namespace k32;

namespace {

class SimDevice : public ::testing::Test {
protected:
    void SetUp() override {
        sim::registerSimDevice();
        previous_ = platform::setProcessClock(&clock_);
    }
    void TearDown() override {
        sim::setSimTargetHook({});
        sim::setKeepSimTrace(true);
        platform::setProcessClock(previous_);
    }

    static HANDLE open(const std::string& name) {
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    static void configure(HANDLE h, DWORD baud) {
        DCB dcb{};
        GetCommState(h, &dcb);
        dcb.BaudRate = baud;
        dcb.Parity = EVENPARITY;
        dcb.fParity = 1;
        SetCommState(h, &dcb);
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 100, 0, 0};  // wait up to 100 ms for the first byte
        SetCommTimeouts(h, &t);
    }
    static int exchangeByte(HANDLE h, std::uint8_t out) {
        DWORD n = 0;
        WriteFile(h, &out, 1, &n, nullptr);
        std::uint8_t in = 0;
        ReadFile(h, &in, 1, &n, nullptr);
        return n == 1 ? in : -1;
    }

    platform::VirtualClock clock_;
    platform::Clock* previous_ = nullptr;
};

}  // namespace

TEST_F(SimDevice, EntrySequenceOnTheLinesThenSynchronisationOnTime) {
    HANDLE h = open("sim");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_NE(sim::lastSimTarget(), nullptr);
    configure(h, 9600);
    const DWORD sequence[] = {SETDTR, SETRTS, 0,      CLRRTS, 0,     0,
                              SETRTS, CLRRTS, SETRTS, CLRDTR, CLRRTS};
    for (DWORD f : sequence) {
        if (f == 0)
            Sleep(100);
        else
            EscapeCommFunction(h, f);
    }
    Sleep(250);
    const std::uint64_t before = clock_.nowNs();
    EXPECT_EQ(exchangeByte(h, 0x80), 0x90);
    // One character out and one back at 9600 Bd 8E1, nothing else.
    const platform::LineFormat loader{9600, 8, EVENPARITY, ONESTOPBIT};
    EXPECT_EQ(clock_.nowNs() - before, 2 * loader.characterNs());
    EXPECT_EQ(sim::lastSimTarget()->mode(), sim::SimTarget::Mode::Loader);
    CloseHandle(h);
}

TEST_F(SimDevice, SettingsReachTheModelAndBadOnesFailTheOpen) {
    int hooked = 0;
    sim::setSimTargetHook([&](sim::SimTarget& t) {
        ++hooked;
        t.poke(0x0FF2, {0xAB});
    });
    HANDLE h = open("sim:loader,version=1.10,fault=garble-tx:1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto target = sim::lastSimTarget();
    EXPECT_EQ(hooked, 1);
    EXPECT_EQ(target->peek(0x0FF2), 0xAB);
    EXPECT_EQ(target->peek(0x0FFA, 2), std::vector<std::uint8_t>({0x01, 0x10}));
    configure(h, 9600);
    EXPECT_EQ(exchangeByte(h, 0x80), 0x91);
    CloseHandle(h);

    for (const char* bad : {"sim:nonsense", "sim:version=", "sim:fault=nack"}) {
        EXPECT_EQ(open(bad), INVALID_HANDLE_VALUE) << bad;
    }
    EXPECT_EQ(sim::lastSimTarget(), target);
}

TEST_F(SimDevice, TraceFileRecordsLinesFormatsAndBytesWhetherOrNotTheModelKeepsItsTrace) {
    for (bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "trace kept in memory" : "trace not kept");
        sim::setKeepSimTrace(keep);
        const std::string path = ::testing::TempDir() + "bsl430-sim-trace.txt";
        HANDLE h = open("sim:loader,trace=" + path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        configure(h, 9600);
        EXPECT_EQ(exchangeByte(h, 0x80), 0x90);
        EscapeCommFunction(h, SETDTR);
        EscapeCommFunction(h, CLRDTR);
        CloseHandle(h);
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        std::remove(path.c_str());
        for (const char* line :
             {"host    format 9600 8E1", "host >  80 (target got 80)",
              "   < target 90 (host got 90)", "lines   DTR set, RTS clear", "held in reset"}) {
            EXPECT_NE(text.str().find(line), std::string::npos) << line << " in\n" << text.str();
        }
        auto target = sim::lastSimTarget();
        EXPECT_EQ(target->hostBytes(),
                  keep ? std::vector<std::uint8_t>{0x80} : std::vector<std::uint8_t>{});
        EXPECT_EQ(target->modelBytes(),
                  keep ? std::vector<std::uint8_t>{0x90} : std::vector<std::uint8_t>{});
        EXPECT_EQ(target->trace().empty(), !keep);
    }
}
