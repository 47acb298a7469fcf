// Handle dispatch, device openers, the call log and the clocks behind GetTickCount and Sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kit/call_log.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/kernel32.h"

using namespace k32;

namespace {

// A device that counts its calls and can be told apart from others by a tag.
class TaggedDevice : public platform::Device {
public:
    explicit TaggedDevice(int tag, int* destroyed = nullptr) : tag(tag), destroyed_(destroyed) {}
    ~TaggedDevice() override {
        if (destroyed_) ++*destroyed_;
    }
    bool escape(DWORD function) override {
        lastEscape = function;
        return true;
    }
    int tag;
    DWORD lastEscape = 0;

private:
    int* destroyed_;
};

HANDLE openName(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct OpenerScope {
    explicit OpenerScope(platform::DeviceOpener opener)
        : id(platform::addDeviceOpener(std::move(opener))) {}
    ~OpenerScope() { platform::removeDeviceOpener(id); }
    int id;
};

}  // namespace

TEST(Kernel32, BadHandlesFailEveryCall) {
    DCB dcb{};
    COMMTIMEOUTS t{};
    DWORD n = 7;
    std::uint8_t byte = 0;
    TaggedDevice notOpened(1);
    for (HANDLE h :
         {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&notOpened)}) {
        EXPECT_FALSE(GetCommState(h, &dcb));
        EXPECT_FALSE(SetCommTimeouts(h, &t));
        EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
        EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        n = 7;
        EXPECT_FALSE(WriteFile(h, &byte, 1, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(CloseHandle(h));
    }
    EXPECT_EQ(notOpened.lastEscape, 0u);
}

TEST(Kernel32, NewestOpenerWinsAndCloseDeletesTheDevice) {
    int destroyed = 0;
    OpenerScope older(
        [&](const std::string& name, DWORD, bool&) -> std::unique_ptr<platform::Device> {
            if (name != "PORTA" && name != "PORTB") return nullptr;
            return std::make_unique<TaggedDevice>(1, &destroyed);
        });
    OpenerScope newer(
        [&](const std::string& name, DWORD, bool& failed) -> std::unique_ptr<platform::Device> {
            if (name == "BUSY") failed = true;  // claims the name, cannot open it
            if (name != "PORTA") return nullptr;
            return std::make_unique<TaggedDevice>(2, &destroyed);
        });
    OpenerScope busyBehind(
        [&](const std::string& name, DWORD, bool&) -> std::unique_ptr<platform::Device> {
            return name == "NEVER" ? std::make_unique<TaggedDevice>(3) : nullptr;
        });

    HANDLE a = openName("PORTA");
    HANDLE b = openName("PORTB");
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(static_cast<TaggedDevice*>(a)->tag, 2);
    EXPECT_EQ(static_cast<TaggedDevice*>(b)->tag, 1);
    EXPECT_EQ(openName("BUSY"), INVALID_HANDLE_VALUE);

    EXPECT_TRUE(EscapeCommFunction(a, CLRRTS));
    EXPECT_EQ(static_cast<TaggedDevice*>(a)->lastEscape, CLRRTS);
    // Calls the device does not support fail as on the wrong kind of handle.
    DWORD status = 5;
    EXPECT_FALSE(GetCommModemStatus(a, &status));
    EXPECT_EQ(status, 0u);

    EXPECT_TRUE(CloseHandle(a));
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(CloseHandle(a));  // closing twice is refused, not a double delete
    EXPECT_FALSE(EscapeCommFunction(a, SETRTS));
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(destroyed, 2);
}

TEST(Kernel32, CallLogRecordsArgumentsResultsAndTimes) {
    platform::VirtualClock clock(0xFFFFFFF0u);
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog log;
    platform::setCallLog(&log);

    OpenerScope opener(
        [](const std::string& name, DWORD, bool&) -> std::unique_ptr<platform::Device> {
            return name == "LOGGED" ? std::make_unique<TaggedDevice>(1) : nullptr;
        });
    HANDLE h = openName("LOGGED");
    EscapeCommFunction(h, SETDTR);
    Sleep(20);
    DWORD tick = GetTickCount();
    std::uint8_t bytes[] = {0x80, 0x0A, 0xFF};
    DWORD written = 0;
    WriteFile(h, bytes, 3, &written, nullptr);
    CloseHandle(h);

    platform::setCallLog(nullptr);
    Sleep(5);  // not recorded any more
    platform::setProcessClock(previousClock);

    EXPECT_EQ(tick, 0x00000004u);  // wrapped past 0xFFFFFFFF
    ASSERT_EQ(log.calls.size(), 6u);
    struct Expected {
        const char* name;
        std::vector<std::uint64_t> args;
        std::string text;
        std::uint64_t result;
        std::uint64_t timeMs;
    };
    const Expected expected[] = {
        {"CreateFileA", {GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0}, "LOGGED", 1, 0},
        {"EscapeCommFunction", {SETDTR}, "", 1, 0},
        {"Sleep", {20}, "", 0, 20},
        {"GetTickCount", {}, "", 4, 20},
        {"WriteFile", {3, 0}, "80 0A FF", 0, 20},
        {"CloseHandle", {}, "", 1, 20},
    };
    for (std::size_t i = 0; i < log.calls.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(log.calls[i].name, expected[i].name);
        EXPECT_EQ(log.calls[i].args, expected[i].args);
        EXPECT_EQ(log.calls[i].text, expected[i].text);
        EXPECT_EQ(log.calls[i].result, expected[i].result);
        EXPECT_EQ(log.calls[i].timeNs, expected[i].timeMs * platform::kNsPerMs);
    }
    EXPECT_EQ(log.named("Sleep").size(), 1u);
}
