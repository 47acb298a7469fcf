// How a simulated chip is made: its identity, its board's wiring, its firmware's format, its
// timing and its faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/line_format.h"
#include "sim/faults.h"

namespace sim {

struct NewerChip;

constexpr std::uint64_t kNsPerUs = 1000;
constexpr std::uint64_t kNsPerMs = 1000000;

struct SimConfig {
    std::uint16_t chipType = 0xF149;
    // A chip of the newer loader family (newer_chips.h), or nullptr for the classic chip above.
    const NewerChip* newerChip = nullptr;
    std::uint8_t versionMajor = 0x01;  // loader version as shown, e.g. 0x01 0x61 is "01.61"
    std::uint8_t versionMinor = 0x61;
    std::uint8_t replacementMajor = 0x01;  // what a started replacement loader reports
    std::uint8_t replacementMinor = 0x50;
    // Board wiring of TEST: normally RTS set is the TEST pulse state and RTS clear its rest;
    // inverted boards (those the tool's test-mode option serves) have it the other way round.
    bool invertTest = false;
    // The speed and greeting of the older firmware the chip comes with (8N1 on USART0).
    platform::LineFormat appFormat{115200, 8, 0, 0};
    std::string appGreeting = "MSP430 application running\r\n";
    // The board: which USART the host's line is wired to (0: P3.4/P3.5, 1: P3.6/P3.7), and the
    // XT2 crystal's frequency (0: none fitted).
    int hostUsart = 0;
    std::uint32_t xt2Hz = 0;
    // false: the chip comes with an older firmware and calibration data in its flash (so erasing is
    // observable, and a normal reset runs that firmware); true: the flash is erased.
    bool blankFlash = false;
    // Timing.
    std::uint64_t loaderReadyNs = 2 * kNsPerMs;  // from release of reset to a listening loader
    std::uint64_t appStartNs = 1 * kNsPerMs;     // from release of reset to the greeting
    std::uint64_t entryRestNs = 200 * kNsPerMs;  // TEST rest needed before the entry pulses
    // Reception. A loader waits for the next byte of a frame; only a gap longer than
    // frameTimeoutNs between two of its bytes abandons it. The default is far beyond anything the
    // host's own timing leaves (it writes a frame byte after byte, 10 ms after the acknowledge), so
    // a slow or loaded host is never cut off; a short value models a strict loader.
    std::uint64_t frameTimeoutNs = 1000 * kNsPerMs;
    // Silence that ends the skipping of a malformed frame; the loader then answers 0xA0.
    std::uint64_t discardPauseNs = 50 * kNsPerMs;
    // A 0x80 that comes long after the acknowledge (more than frameTimeoutNs) is still the header
    // of a frame, and the rest is waited for like any other. With lateSyncNs set, a loader that
    // hears nothing more for that long after such a lone 0x80 takes it as a new synchronisation
    // and acknowledges it (so a host that missed an acknowledge and synchronises again gets one);
    // 0: never.
    std::uint64_t lateSyncNs = 0;
    std::uint64_t syncAnswerNs = 0;    // from a synchronisation byte to its answer
    std::uint64_t frameAnswerNs = 0;   // from a frame's last byte to its answer
    std::uint64_t massEraseNs = 0;     // added for Mass erase
    std::uint64_t writeNsPerByte = 0;  // added per byte of RX data block
    // Start in the loader, listening, as if the entry sequence had just been played (used where
    // the host's control lines cannot reach the model).
    bool startInLoader = false;
    // Whole-chip faults.
    bool silent = false;          // the loader starts but never sends anything
    bool ignoreEntry = false;     // the entry sequence never starts the loader
    bool fakeBaudChange = false;  // Change baud rate is acknowledged but the speed stays
    std::vector<Fault> faults;
    // Human-readable trace written here as it happens ("" for none).
    std::string tracePath;
    // Keep every trace entry in memory for trace(), hostBytes(), modelBytes() and dump(). A long
    // run makes an entry for every byte and event, all held until the model goes; without this
    // those four see nothing, while the trace file above is written all the same.
    bool keepTrace = true;
};

}  // namespace sim
