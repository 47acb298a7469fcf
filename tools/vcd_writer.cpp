#include "vcd_writer.h"

namespace simbench {
namespace {

// Identifier codes: one printable character each, from '!' on.
char code(int wire) { return static_cast<char>('!' + wire); }

std::string wireName(int wire) {
    if (wire == VcdWriter::kTxd) return "UTXD";
    if (wire == VcdWriter::kRxd) return "URXD";
    std::string name = "P";
    name += std::to_string(wire / 8 + 1);
    name += '.';
    name += std::to_string(wire % 8);
    return name;
}

}  // namespace

VcdWriter::~VcdWriter() {
    if (file_) std::fclose(file_);
}

bool VcdWriter::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) return false;
    std::fputs("$version bsl430-sim run $end\n$timescale 1 ns $end\n$scope module board $end\n",
               file_);
    for (int w = 0; w < kWires; ++w)
        std::fprintf(file_, "$var wire 1 %c %s $end\n", code(w), wireName(w).c_str());
    std::fputs("$upscope $end\n$enddefinitions $end\n", file_);
    // The UART lines idle high until a character is seen.
    change(0, kTxd, true);
    change(0, kRxd, true);
    return true;
}

void VcdWriter::change(std::uint64_t ps, int wire, bool level) {
    if (file_) pending_.emplace(ps, std::make_pair(wire, level));
}

void VcdWriter::port(std::uint64_t ps, int port, std::uint8_t levels) {
    for (int bit = 0; bit < 8; ++bit) change(ps, (port - 1) * 8 + bit, (levels >> bit) & 1);
    flushUntil(ps);
}

void VcdWriter::character(std::uint64_t ps, int wire, std::uint8_t byte,
                          const platform::LineFormat& f) {
    if (f.baud == 0) return;
    const std::uint64_t bitPs = (1000000000000ull + f.baud / 2) / f.baud;
    std::vector<bool> bits{false};
    int ones = 0;
    for (int i = 0; i < f.dataBits; ++i) {
        bits.push_back((byte >> i) & 1);
        ones += (byte >> i) & 1;
    }
    switch (f.parity) {
        case k32::ODDPARITY: bits.push_back(ones % 2 == 0); break;
        case k32::EVENPARITY: bits.push_back(ones % 2 == 1); break;
        case k32::MARKPARITY: bits.push_back(true); break;
        case k32::SPACEPARITY: bits.push_back(false); break;
        default: break;
    }
    bits.push_back(true);  // the stop bit; the line stays high after it
    for (std::size_t i = 0; i < bits.size(); ++i) change(ps + i * bitPs, wire, bits[i]);
}

void VcdWriter::flushUntil(std::uint64_t ps) {
    if (!file_) return;
    while (!pending_.empty() && pending_.begin()->first <= ps) {
        const auto [at, what] = *pending_.begin();
        pending_.erase(pending_.begin());
        const auto [wire, level] = what;
        if (level_[wire] == static_cast<int>(level)) continue;
        const std::uint64_t ns = at / 1000;
        if (!timeWritten_ || ns != writtenNs_) {
            std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(ns));
            writtenNs_ = ns;
            timeWritten_ = true;
        }
        level_[wire] = level;
        std::fprintf(file_, "%d%c\n", level ? 1 : 0, code(wire));
    }
}

bool VcdWriter::close(std::uint64_t ps) {
    if (!file_) return true;
    flushUntil(ps);
    const std::uint64_t ns = ps / 1000;
    if (!timeWritten_ || ns > writtenNs_)
        std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(ns));
    const bool ok = std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok && closed;
}

}  // namespace simbench
