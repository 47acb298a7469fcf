// A board with the simulated chip for the firmware tests, on a virtual clock: it loads a HEX file
// straight into the chip's flash, resets the chip into it, and plays the host's side of the serial
// line at a given format, collecting what the firmware sends as the host decodes it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image/intel_hex.h"
#include "image/memory_image.h"
#include "sim/sim_target.h"

namespace firmwaretest {

constexpr std::uint64_t kMs = sim::kNsPerMs;
inline const platform::LineFormat k9600{9600, 8, 0, 0};  // 8N1

inline sim::SimConfig blankChip() {
    sim::SimConfig config;
    config.blankFlash = true;
    return config;
}

class Board : public platform::HostLink {
public:
    explicit Board(sim::SimConfig config = blankChip())
        : chip(std::make_shared<sim::SimTarget>(std::move(config))) {
        chip->attach(this);
        chip->advanceTo(0);
        chip->hostFormat(0, format);
    }
    ~Board() override { chip->attach(nullptr); }
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override {
        arrived.push_back({arrivalNs, byte});
    }
    platform::LineFormat hostFormat() const override { return format; }

    // Puts an Intel HEX file, read by the tool's own loader, into the chip's memory.
    bool load(const std::string& path) {
        if (loadIntelHex(path.c_str(), 0) != 0) return false;
        for (int address = 0; address < kMemoryImageCells; ++address)
            if (MemoryImage[address] != kEmptyCell)
                chip->poke(static_cast<std::uint16_t>(address),
                           {static_cast<std::uint8_t>(MemoryImage[address])});
        return true;
    }

    // Holds RST/NMI low for a moment with TEST at rest, then releases it: the chip starts the
    // firmware in its flash. What arrived before is forgotten.
    void reset() {
        chip->hostLines(now, true, false);
        wait(10);
        arrived.clear();
        chip->hostLines(now, false, false);
    }

    void wait(double ms) {
        now += static_cast<std::uint64_t>(ms * kMs);
        chip->advanceTo(now);
    }

    void send(const std::string& text) {
        for (char c : text) {
            now += format.characterNs();
            chip->advanceTo(now);
            chip->hostByte(now, static_cast<std::uint8_t>(c), format);
        }
    }

    // What has arrived at the host so far.
    std::string received() const {
        std::string text;
        for (const auto& [t, b] : arrived)
            if (t <= now) text += static_cast<char>(b);
        return text;
    }

    // Runs in steps of 10 ms until the received text ends with `ending` or `limitMs` have passed.
    bool runUntil(const std::string& ending, double limitMs) {
        for (double spent = 0; spent < limitMs; spent += 10) {
            if (received().ends_with(ending)) return true;
            wait(10);
        }
        return false;
    }

    std::shared_ptr<sim::SimTarget> chip;
    platform::LineFormat format = k9600;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> arrived;
    std::uint64_t now = 0;
};

}  // namespace firmwaretest
