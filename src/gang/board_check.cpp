// A check asks the loader what a wrong password would cost before any password goes out, and
// gives the firmware's own vectors as the password only to a loader that merely says no to a
// wrong one. It then reads the firmware's bytes back, compares them and reads the serial number.
// It sends no erase and no write: the chip is left as it was found.
#include "gang/board_check.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bsl/bsl_commands.h"
#include "bsl/frame_exchange.h"
#include "control/board_run.h"
#include "options/program_options.h"
#include "serial/control_lines.h"
#include "serial/run_state.h"

namespace gang {
namespace {

// The run's error numbers for the steps a check shares with a programming run.
constexpr int kPasswordOffset = 3;
constexpr int kIdentificationOffset = 6;
constexpr int kBaudRateOffset = 24;
constexpr int kReadFailed = 42;

// The classic loader changes its speed from version 1.60 on.
constexpr unsigned kFirstSpeedChange = 0x0160;

const std::uint32_t kVectorArea = 0xFFE0;

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Starts the loader and learns, as a programming run would find its family, which loader the
// board carries and what a wrong password would cost it. The classic loader is asked first;
// when nothing answers, the newer loaders' packets are tried. 0 or the run's error number.
int startLoader(const LoaderFamily*& family, WrongPasswordCost& cost, CheckReport& report) {
    int result = kBslNoSync;
    if (settings.loaderFamily != kFamilyPacket) {
        family = &classicLoaderFamily;
        family->enter();
        result = family->wrongPasswordCost(cost, report.identity, report.identityKnown);
        if (result == kBslOk) return 0;
        if (result != kBslNoSync || settings.loaderFamily == kFamilyClassic)
            return result + kIdentificationOffset;
    }
    family = &packetLoaderFamily;
    family->enter();
    const int probe = probePacketLoader();
    // A board that answers neither family fails as the classic loader's silence does.
    if (probe != 0)
        return (settings.loaderFamily == kFamilyPacket ? probe : result) + kIdentificationOffset;
    return family->wrongPasswordCost(cost, report.identity, report.identityKnown);
}

// Whether the cell at `address` is compared: the firmware has data there, and it is not where the
// board's own number lies.
bool compared(const CheckPlan& plan, std::uint32_t address) {
    if (plan.image[address] == kEmptyCell) return false;
    return !(plan.readSerial && address >= plan.serialAt && address < plan.serialAt + 4);
}

// Reads back the compared cells, a block at a time (from the first compared cell on, up to the
// loader's block size, even addresses and lengths); stops at the first difference.
int compareImage(const LoaderFamily& family, const CheckPlan& plan, CheckReport& report) {
    const std::uint32_t limit = static_cast<std::uint32_t>(family.blockLimit()) & ~1u;
    std::vector<std::uint8_t> block(limit);
    for (std::uint32_t next = 0; next < kMemoryImageCells;) {
        while (next < kMemoryImageCells && !compared(plan, next)) ++next;
        if (next == kMemoryImageCells) break;
        const std::uint32_t start = next & ~1u;
        std::uint32_t end = std::min<std::uint32_t>(start + limit, kMemoryImageCells);
        while (end > start && !compared(plan, end - 1)) --end;
        end = (end + 1) & ~1u;
        next = end;
        const std::uint32_t length = end - start;
        if (family.readBlock(start, block.data(), static_cast<int>(length)) != 0)
            return kReadFailed;
        for (std::uint32_t a = start; a < start + length; ++a) {
            const std::uint8_t board = block[a - start];
            if (!compared(plan, a) || board == static_cast<std::uint8_t>(plan.image[a])) continue;
            report.verdict = CheckVerdict::Differs;
            report.differsAt = a;
            report.boardByte = board;
            report.firmwareByte = static_cast<std::uint8_t>(plan.image[a]);
            return 0;
        }
    }
    return 0;
}

// The four bytes at serialAt, little-endian (read as whole words from an even address); all
// erased is no number.
int readSerial(const LoaderFamily& family, const CheckPlan& plan, CheckReport& report) {
    const std::uint32_t first = plan.serialAt & ~1u;
    std::uint8_t bytes[6];
    const int length = plan.serialAt == first ? 4 : 6;
    if (family.readBlock(first, bytes, length) != 0) return kReadFailed;
    const std::uint8_t* number = bytes + (plan.serialAt - first);
    report.serial = 0;
    bool erased = true;
    for (int k = 0; k < 4; ++k) {
        report.serial |= static_cast<std::uint32_t>(number[k]) << (8 * k);
        erased = erased && number[k] == 0xFF;
    }
    report.haveSerial = !erased;
    return 0;
}

int checkOpenLoader(const LoaderFamily& family, const CheckPlan& plan, CheckReport& report) {
    if (!report.identityKnown) {
        const int result = family.identify(report.identity);
        if (result != 0) return result + kIdentificationOffset;
        report.identityKnown = true;
    }
    const unsigned version = report.identity.major << 8 | report.identity.minor;
    if (settings.fastSpeed && &family == &classicLoaderFamily && version >= kFirstSpeedChange) {
        const int result = family.speedUp();
        if (result != 0) return result + kBaudRateOffset;
    }
    int result = compareImage(family, plan, report);
    if (result == 0 && plan.readSerial) result = readSerial(family, plan, report);
    return result;
}

}  // namespace

std::string versionText(const LoaderIdentity& identity) {
    char text[16];
    std::snprintf(text, sizeof text, "%X.%02X", identity.major, identity.minor);
    return text;
}

void firmwarePassword(const std::uint16_t* image, std::uint8_t password[32]) {
    for (std::uint32_t k = 0; k < kPasswordLength; ++k) {
        const std::uint16_t cell = image[kVectorArea + k];
        password[k] = cell == kEmptyCell ? 0xFF : static_cast<std::uint8_t>(cell);
    }
}

int checkBoardOn(k32::HANDLE port, const CheckPlan& plan, CheckReport& report) {
    report = CheckReport{};
    takeBoardPort(port);
    const LoaderFamily* family = nullptr;
    WrongPasswordCost cost = WrongPasswordCost::ErasesFlash;
    int result = startLoader(family, cost, report);
    if (result != 0) return result;
    runLoaderFamily = family;
    if (cost != WrongPasswordCost::Nothing) {
        report.verdict = CheckVerdict::Refused;
        report.reason =
            family == &classicLoaderFamily
                ? "its loader " + versionText(report.identity) +
                      " erases the flash on a wrong password (unless the firmware cleared the "
                      "key word at 0xFFDE, which cannot be read while the loader is locked)"
                : "the newer families' loader erases the chip on a wrong password";
        family->finish();
        return 0;
    }
    std::uint8_t password[kPasswordLength];
    firmwarePassword(plan.image, password);
    result = family->unlockWith(password);
    if (result == kPasswordRefused) {
        report.verdict = CheckVerdict::Locked;
        report.reason =
            "the firmware's vectors do not open the loader: another firmware is on "
            "the board";
        result = 0;
    } else if (result != 0) {
        result += kPasswordOffset;
    } else {
        result = checkOpenLoader(*family, plan, report);
        if (result == 0 && report.verdict == CheckVerdict::Differs)
            report.reason = "at " + hex(report.differsAt, 4) + " the board holds " +
                            hex(report.boardByte, 2) + " where the firmware has " +
                            hex(report.firmwareByte, 2);
    }
    family->finish();
    return result;
}

}  // namespace gang
