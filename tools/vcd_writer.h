// A value change dump (IEEE 1364) of the board's wires: every port pin and the host UART's two
// lines, one bit each, on a time scale of nanoseconds, as waveform viewers read it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/line_format.h"

namespace simbench {

class VcdWriter {
public:
    // The wires: 48 port pins (P1.0 .. P6.7), then the UART's transmit and receive lines.
    static constexpr int kPins = 48, kTxd = 48, kRxd = 49, kWires = 50;

    VcdWriter() = default;
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    // Creates the file and writes the header; false when it cannot be written.
    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // A port's levels at `ps`.
    void port(std::uint64_t ps, int port, std::uint8_t levels);
    // A character on a UART line (kTxd or kRxd) whose start bit begins at `ps`.
    void character(std::uint64_t ps, int wire, std::uint8_t byte, const platform::LineFormat& f);
    // Writes every change up to `ps` (changes are kept until no earlier one can come).
    void flushUntil(std::uint64_t ps);
    // Writes the rest, ends the dump at `ps` and closes the file; false on a write error.
    bool close(std::uint64_t ps);

private:
    void change(std::uint64_t ps, int wire, bool level);
    std::FILE* file_ = nullptr;
    std::multimap<std::uint64_t, std::pair<int, bool>> pending_;
    std::vector<int> level_ = std::vector<int>(kWires, -1);  // -1: not yet written
    std::uint64_t writtenNs_ = 0;
    bool timeWritten_ = false;
};

}  // namespace simbench
