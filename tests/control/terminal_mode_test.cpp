// Terminal mode in this process: a scripted console on the virtual clock types keys, the
// simulated firmware answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/kernel32.h"
#include "run_harness.h"
#include "support/paths.h"

using harness::Harness;
using harness::RunResult;

namespace {

// Console input events, each handed out once its time (from the console's opening) has come on
// the virtual clock. Every peek lets a little time pass, as a real console poll would, and a
// wait on the console leaps to the next event's time. Once the script is used up it keeps
// offering ESC, so that a run never outlives its test.
class ScriptedConsole final : public platform::Device {
public:
    struct Event {
        std::uint64_t afterNs;
        k32::INPUT_RECORD record;
    };
    ScriptedConsole(platform::VirtualClock& clock, std::vector<Event> events)
        : clock_(clock), openedNs_(clock.nowNs()), events_(std::move(events)) {}

    bool peekConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& count) override {
        clock_.advanceNs(20000);
        count = 0;
        if (length == 0) return true;
        if (next_ < events_.size()) {
            if (openedNs_ + events_[next_].afterNs > clock_.nowNs()) return true;
            records[0] = events_[next_].record;
        } else {
            records[0] = key(27);
        }
        count = 1;
        return true;
    }
    bool readConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& count) override {
        bool ok = peekConsoleInput(records, length, count);
        if (count != 0 && next_ < events_.size()) ++next_;
        return ok;
    }
    bool waitState(platform::WaitState& state) override {
        if (next_ >= events_.size()) {
            state.signaled = true;
            return true;
        }
        const std::uint64_t due = openedNs_ + events_[next_].afterNs;
        state.signaled = due <= clock_.nowNs();
        state.lookAgainNs = due;
        return true;
    }

    static k32::INPUT_RECORD key(char ascii, bool down = true, k32::WORD repeat = 1) {
        k32::INPUT_RECORD record{};
        record.EventType = k32::KEY_EVENT;
        record.Event.KeyEvent.bKeyDown = down ? k32::TRUE : k32::FALSE;
        record.Event.KeyEvent.wRepeatCount = repeat;
        record.Event.KeyEvent.uChar.AsciiChar = ascii;
        return record;
    }
    static k32::INPUT_RECORD focus() {
        k32::INPUT_RECORD record{};
        record.EventType = k32::FOCUS_EVENT;
        return record;
    }

private:
    platform::VirtualClock& clock_;
    std::uint64_t openedNs_;
    std::vector<Event> events_;
    std::size_t next_ = 0;
};

constexpr std::uint64_t kMs = platform::kNsPerMs;

class TerminalRun : public testing::Test {
protected:
    void SetUp() override {
        dir = harness::makeTempDir();
        firmware = dir + "/fw.hex";
        harness::writeFile(firmware, harness::hexRecords(0xF000, {0x31, 0x40, 0x00, 0x0A}) +
                                         harness::hexRecords(0xFFFE, {0x00, 0xF0}) +
                                         harness::hexEnd());
    }
    void TearDown() override {
        if (opener != 0) platform::removeDeviceOpener(opener);
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    void serveConsole(std::vector<ScriptedConsole::Event> events) {
        opener =
            platform::addDeviceOpener([this, events](const std::string& name, k32::DWORD,
                                                     bool&) -> std::unique_ptr<platform::Device> {
                if (name != "CON") return nullptr;
                ++consoleOpens;
                return std::make_unique<ScriptedConsole>(h.clock, events);
            });
    }
    // Bytes the host sent after `from` on the target's clock.
    std::string sentAfter(const RunResult& run, std::uint64_t fromNs) {
        std::string bytes;
        for (const auto& entry : run.target->trace())
            if (entry.kind == sim::TraceEntry::Kind::HostByte && entry.timeNs > fromNs)
                bytes += static_cast<char>(entry.byte);
        return bytes;
    }

    Harness h;
    std::string dir, firmware;
    int opener = 0;
    int consoleOpens = 0;
};

TEST_F(TerminalRun, KeysGoOutAndTargetOutputComesBack) {
    serveConsole({
        // After hello's greeting (about 50 ms at 9600 Bd), which it sends before it echoes.
        {100 * kMs, ScriptedConsole::key('h', true, 3)},  // repeat count ignored: one byte
        {0, ScriptedConsole::key('h', false)},            // key release: nothing
        {0, ScriptedConsole::key(0)},                     // a key without a character: nothing
        {0, ScriptedConsole::focus()},                    // not a key: nothing
        {0, ScriptedConsole::key('i')},
        {0, ScriptedConsole::key(static_cast<char>(0xFF))},  // sent; its echo is not shown
        {0, ScriptedConsole::key('!')},
        {160 * kMs, ScriptedConsole::key(27)},
    });
    const std::string hello = testpaths::sourceDir() + "/examples/hello.hex";
    RunResult run = h.run({"bsl430", "--device", "sim", "-t", "-tb", "9600", hello});
    EXPECT_EQ(run.exitCode, 0);
    const std::string ok = "#konec programovani...\n\nTest OK\n\n";
    std::string::size_type at = run.output.find(ok);
    ASSERT_NE(at, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(at + ok.size()),
              "Terminal mode. To exit press ESC...\nHello from the MSP430F149. Type, and I "
              "echo.\r\nhi!");
    EXPECT_EQ(consoleOpens, 1);

    // The terminal's format, reset released after it, then the console; at the end the console
    // is closed, reset released again and the port closed.
    const auto& calls = h.log.calls;
    std::size_t console = 0;
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].name == "CreateFileA" && calls[i].text == "CON") console = i;
    ASSERT_GT(console, 2u);
    EXPECT_EQ(calls[console].args, (std::vector<std::uint64_t>{0x80000000u, 0, 3, 0}));
    EXPECT_EQ(calls[console - 1].name, "EscapeCommFunction");
    EXPECT_EQ(calls[console - 1].args, std::vector<std::uint64_t>{k32::CLRDTR});
    auto states = h.log.named("SetCommState");
    EXPECT_EQ(states.back().args, (std::vector<std::uint64_t>{9600, 8, 0, 0, 0, 0, 0}));
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].name, "CloseHandle");
    EXPECT_EQ(calls[calls.size() - 2].args, std::vector<std::uint64_t>{k32::CLRDTR});
    EXPECT_EQ(calls.back().name, "CloseHandle");

    // Exactly the four character keys went to the target, ESC not.
    std::uint64_t terminalFrom = calls[console].timeNs;
    EXPECT_EQ(sentAfter(run, terminalFrom), std::string("hi\xFF!"));

    // The loop slept between keys and bytes: a pass for each of them, not one every few
    // microseconds of the quarter second the terminal was open.
    EXPECT_LT(h.log.named("PeekConsoleInputA").size(), 200u);
    EXPECT_FALSE(h.log.named("WaitForMultipleObjects").empty());
}

struct NoTerminalCase {
    const char* name;
    std::string device;
    std::vector<std::string> options;
};

class NoTerminal : public TerminalRun, public testing::WithParamInterface<NoTerminalCase> {};

TEST_P(NoTerminal, ConsoleIsNeverOpened) {
    serveConsole({});
    std::vector<std::string> argv = {"bsl430", "--device", GetParam().device};
    for (const auto& option : GetParam().options)
        argv.push_back(option == "FW" ? firmware : option);
    RunResult run = h.run(argv);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(consoleOpens, 0);
    EXPECT_EQ(run.output.find("Terminal mode"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoTerminal,
    testing::Values(NoTerminalCase{"FailedRun", "sim:fault=nack:erase:1", {"-t", "FW"}},
                    NoTerminalCase{"NotAsked", "sim", {"FW"}}),
    [](const testing::TestParamInfo<NoTerminalCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
