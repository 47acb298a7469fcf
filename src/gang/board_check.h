// Checking a shipped board without changing it: is the firmware on it the one in the file, and
// which serial number does it carry? Nothing is erased or written.
#pragma once

#include <cstdint>
#include <string>

#include "bsl/loader_family.h"
#include "platform/kernel32.h"

namespace gang {

struct CheckPlan {
    const std::uint16_t* image = nullptr;  // the firmware as loaded: 65536 cells
    bool readSerial = false;  // the four bytes at serialAt hold the board's number, not firmware
    std::uint32_t serialAt = 0;
};

enum class CheckVerdict {
    Match,    // every byte of the firmware is on the board
    Differs,  // the board holds other bytes (differsAt is the first)
    Locked,   // the firmware's vectors do not open the board's loader
    Refused   // the board's loader may erase itself on a wrong password: it was not asked
};

struct CheckReport {
    CheckVerdict verdict = CheckVerdict::Match;
    std::uint32_t differsAt = 0;
    std::uint8_t boardByte = 0;
    std::uint8_t firmwareByte = 0;
    bool haveSerial = false;  // false: no number there (erased)
    std::uint32_t serial = 0;
    bool identityKnown = false;
    LoaderIdentity identity;
    std::string reason;  // why a board was refused or locked, in English
};

// Takes `port` as this thread's port and checks the board on it. 0 with the report, or the error
// number of the step that failed, counted as a programming run counts its steps (7 to 9 asking
// the loader, 4 to 6 the password, 25 to 27 the speed, 42 a read).
int checkBoardOn(k32::HANDLE port, const CheckPlan& plan, CheckReport& report);

// The loader's version as the records show it ("1.61", "2.02").
std::string versionText(const LoaderIdentity& identity);

// The password the firmware gives a chip: its vector area, 0xFFE0 to 0xFFFF, with the erased
// value where the file has no data.
void firmwarePassword(const std::uint16_t* image, std::uint8_t password[32]);

}  // namespace gang
