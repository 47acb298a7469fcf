// A board check (bsl430-gang --check) against a classic loader whose every answer comes from the
// fuzzer, on a virtual clock: whatever the loader says, the check must leave the chip as it found
// it, and its verdict must be what the loader's answers call for.
//
// Input: the first byte picks options (bit 0 --slow, bit 1 read the serial number at 0x1000); the
// rest feeds the far end (loader_peers.h). The properties, from the call log's exchanges
// (run_model.h):
// - no command that erases, writes or runs code goes out: only TX BSL version, RX password (with
//   the firmware's vectors), TX data block and Change baud rate;
// - a password goes out only after the loader told a version below 2.00 (a whole 16-byte reply)
//   or refused the version question twice: a loader that may erase on a wrong password never
//   gets one;
// - "refused" only after a version of 2.00 or later; "locked" only when the loader refused the
//   password; "match" only when the password was taken and every byte of the firmware came back
//   as it is in the file; "differs" names an address where the board's byte came back other than
//   the file's, with every byte before it equal; the serial number is the bytes that came back;
// - the run's virtual time stays within the waits it was allowed, the reset line is released and
//   the port closed at the end.
//
// With BSL430_FUZZ_MAKE_SEEDS=<dir> in the environment the program writes its seed inputs into
// <dir> instead (answers recorded from simulated chips: a match, a difference, another firmware,
// a 1.10 loader and a 2.02 one) and exits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bsl/frame_exchange.h"
#include "control/board_run.h"
#include "fuzz_support.h"
#include "gang/board_check.h"
#include "kit/call_log.h"
#include "kit/test_port.h"
#include "loader_peers.h"
#include "options/program_options.h"
#include "platform/run_output.h"
#include "run_model.h"

namespace {

using fuzzsupport::fail;
using namespace runmodel;

constexpr const char* kPortName = "fuzz-port";
constexpr std::uint8_t kSlowOption = 1;
constexpr std::uint8_t kSerialOption = 2;
constexpr std::uint16_t kSerialAt = 0x1000;

// The firmware of the programming run's fuzz target, as 64 KiB of cells.
const std::vector<std::uint16_t>& image() {
    static const std::vector<std::uint16_t> cells = [] {
        std::vector<std::uint16_t> c(kMemoryImageCells, kEmptyCell);
        for (const Block& b : kFirmwareBlocks)
            for (std::size_t k = 0; k < b.bytes.size(); ++k) c[b.address + k] = b.bytes[k];
        return c;
    }();
    return cells;
}

class Quiet final : public platform::RunOutput {
public:
    void text(const char*, std::size_t) override {}
};

struct CheckRun {
    int result = 0;
    gang::CheckReport report;
    std::vector<Exchange> list;
    int reads = 0, writes = 0;
    std::uint64_t elapsedNs = 0;
    bool portClosed = false;
};

CheckRun check(std::uint8_t options, std::shared_ptr<platform::FarEnd> farEnd) {
    platform::VirtualClock clock(0xFFFFF000u);  // the tick counter wraps during the run
    platform::CallLog log;
    platform::Clock* previousClock = platform::setProcessClock(&clock);
    platform::CallLog* previousLog = platform::setCallLog(&log);
    const int opener = platform::serveTestPort(kPortName, farEnd);
    Quiet quiet;
    platform::RunOutput* previousOutput = platform::setRunOutput(&quiet);

    resetSettings();
    settings.loaderFamily = kFamilyClassic;
    settings.fastSpeed = (options & kSlowOption) ? 0 : 1;
    std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
    CheckRun run;
    k32::HANDLE port = k32::CreateFileA(kPortName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                        nullptr, k32::OPEN_EXISTING, 0, nullptr);
    if (port == k32::INVALID_HANDLE_VALUE) fail("open", "the test port did not open");
    const gang::CheckPlan plan{image().data(), (options & kSerialOption) != 0, kSerialAt};
    run.result = gang::checkBoardOn(port, plan, run.report);
    releaseBoard();
    run.elapsedNs = clock.nowNs();
    k32::HANDLE again = k32::CreateFileA(kPortName, k32::GENERIC_READ | k32::GENERIC_WRITE, 0,
                                         nullptr, k32::OPEN_EXISTING, 0, nullptr);
    run.portClosed = again != k32::INVALID_HANDLE_VALUE;
    if (run.portClosed) k32::CloseHandle(again);

    platform::setRunOutput(previousOutput);
    platform::removeDeviceOpener(opener);
    platform::setCallLog(previousLog);
    platform::setProcessClock(previousClock);
    run.list = exchanges(conversation(log), run.reads, run.writes);
    return run;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

void checkRun(std::uint8_t options, const CheckRun& r) {
    const bool readSerial = (options & kSerialOption) != 0;
    bool passwordSafe = false, erasesOnWrongPassword = false, passwordSent = false;
    bool unlocked = false, passwordRefused = false;
    int versionRefusals = 0;
    std::map<std::uint32_t, std::uint8_t> board;  // what the reads brought back
    for (const Exchange& x : r.list) {
        if (x.result == 1 || x.result == -1) continue;  // no frame went out, or it was cut off
        switch (x.command) {
            case 0x1E:
                if (x.result == 0 && x.dataReply && x.replyLength == 16) {
                    passwordSafe = x.reply[10] < 0x02;
                    erasesOnWrongPassword = !passwordSafe;
                } else if (x.answer == 0xA0 && ++versionRefusals >= 2) {
                    passwordSafe = true;
                }
                break;
            case 0x10: {
                if (!passwordSafe) fail("password", "sent to a loader that may erase on a wrong one");
                std::vector<std::uint8_t> vectors(32);
                for (std::size_t k = 0; k < 32; ++k) {
                    const std::uint16_t cell = image()[0xFFE0 + k];
                    vectors[k] = cell == kEmptyCell ? 0xFF : static_cast<std::uint8_t>(cell);
                }
                if (x.data != vectors) fail("password", "not the firmware's vectors");
                passwordSent = true;
                unlocked = x.result == 0 && x.answer == 0x90;
                passwordRefused = x.answer == 0xA0;
                break;
            }
            case 0x14:
                if (x.result == 0 && x.dataReply && x.replyLength == x.lengthField)
                    for (int k = 0; k < x.replyLength; ++k) board[x.address + k] = x.reply[k];
                break;
            case 0x20: break;
            default: fail("command", "a check sent command " + hex(x.command));
        }
    }
    if (r.result != 0) return;
    const gang::CheckReport& report = r.report;
    auto compared = [&](std::uint32_t a) {
        return image()[a] != kEmptyCell && !(readSerial && a >= kSerialAt && a < kSerialAt + 4);
    };
    switch (report.verdict) {
        case gang::CheckVerdict::Refused:
            if (!erasesOnWrongPassword || passwordSent) fail("refused", "without a 2.xx version");
            return;
        case gang::CheckVerdict::Locked:
            if (!passwordRefused) fail("locked", "the password was not refused");
            return;
        case gang::CheckVerdict::Match:
        case gang::CheckVerdict::Differs: {
            if (!unlocked) fail("verdict", "a comparison without an acknowledged password");
            const bool differs = report.verdict == gang::CheckVerdict::Differs;
            const std::uint32_t end = differs ? report.differsAt : kMemoryImageCells;
            for (std::uint32_t a = 0; a < end; ++a) {
                if (!compared(a)) continue;
                const auto got = board.find(a);
                if (got == board.end() || got->second != image()[a])
                    fail("verdict", "the byte at " + hex(a) + " did not come back as the file has it");
            }
            if (differs) {
                const auto got = board.find(report.differsAt);
                if (!compared(report.differsAt) || got == board.end() ||
                    got->second == image()[report.differsAt] || got->second != report.boardByte)
                    fail("differs", "at " + hex(report.differsAt));
                return;
            }
            if (!readSerial) return;
            std::uint32_t serial = 0;
            bool erased = true;
            for (std::uint32_t k = 0; k < 4; ++k) {
                const auto got = board.find(kSerialAt + k);
                if (got == board.end()) fail("serial", "not read");
                serial |= static_cast<std::uint32_t>(got->second) << (8 * k);
                erased = erased && got->second == 0xFF;
            }
            if (report.haveSerial == erased || (report.haveSerial && report.serial != serial))
                fail("serial", "not the bytes that came back");
            return;
        }
    }
}

void makeSeeds(const std::string& directory) {
    struct Seed {
        const char* name;
        std::uint8_t major, minor;
        std::uint16_t changedAt;  // a byte of the firmware changed on the chip (0: none)
        std::uint8_t resetHigh;   // the reset vector's high byte on the chip
        std::uint8_t options;
    };
    const Seed seeds[] = {{"match", 0x01, 0x61, 0, 0xF0, kSerialOption},
                          {"match-slow", 0x01, 0x61, 0, 0xF0, kSlowOption},
                          {"differs", 0x01, 0x61, 0xF003, 0xF0, kSerialOption},
                          {"locked", 0x01, 0x61, 0, 0xE0, 0},
                          {"old-loader", 0x01, 0x10, 0, 0xF0, kSerialOption},
                          {"refused", 0x02, 0x02, 0, 0xF0, 0}};
    for (const Seed& s : seeds) {
        sim::SimConfig config;
        config.versionMajor = s.major;
        config.versionMinor = s.minor;
        auto recorder = std::make_shared<loaderpeers::Recorder>(config);
        std::vector<std::uint8_t> vectors(32, 0xFF);
        vectors[31] = s.resetHigh;
        vectors[30] = 0x00;
        recorder->target().poke(0xFFE0, vectors);
        for (const Block& b : kFirmwareBlocks)
            if (b.address < 0xFFE0) recorder->target().poke(b.address, b.bytes);
        if (s.changedAt != 0)
            recorder->target().poke(s.changedAt, {static_cast<std::uint8_t>(~image()[s.changedAt])});
        recorder->target().poke(kSerialAt, {0x39, 0x30, 0x00, 0x00});  // 12345
        const CheckRun r = check(s.options, recorder);
        checkRun(s.options, r);
        const std::vector<std::uint8_t> seed = recorder->seed(s.options);
        fuzzsupport::writeFile(directory + "/" + s.name, seed.data(), seed.size());
        std::fprintf(stderr, "%s: result %d, verdict %d, serial %u\n", s.name, r.result,
                     static_cast<int>(r.report.verdict), r.report.serial);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    image();
    if (const char* directory = std::getenv("BSL430_FUZZ_MAKE_SEEDS")) {
        makeSeeds(directory);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t options = data[0] & 3;
    auto loader = std::make_shared<loaderpeers::FuzzedLoader>(data + 1, size - 1);
    const CheckRun r = check(options, loader);
    checkRun(options, r);
    checkTime(r.elapsedNs, r.list, r.reads, r.writes);
    if (!r.portClosed) fail("port", "left open");
    if (loader->lineChanges.empty() || loader->lineChanges.back().dtr)
        fail("reset", "the target is left in reset");
    return 0;
}
