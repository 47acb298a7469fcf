#include "sim/trace.h"

#include <cinttypes>

#include "sim/sim_config.h"

namespace sim {
namespace {

std::string formatName(const platform::LineFormat& f) {
    const char parity[] = "NOEMS";
    const char* stop = f.stopBits == k32::ONE5STOPBITS  ? "1.5"
                       : f.stopBits == k32::TWOSTOPBITS ? "2"
                                                        : "1";
    char text[48];
    std::snprintf(text, sizeof text, "%u %u%c%s", static_cast<unsigned>(f.baud),
                  static_cast<unsigned>(f.dataBits), f.parity < 5 ? parity[f.parity] : '?', stop);
    return text;
}

}  // namespace

std::string hexByte(std::uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

Trace::Trace(const std::string& path, bool keep) : keep_(keep) {
    if (!path.empty()) file_ = std::fopen(path.c_str(), "w");
}

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

void Trace::record(TraceEntry entry) {
    if (file_) {
        std::fputs(format(entry).c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    if (keep_) entries_.push_back(std::move(entry));
}

void Trace::note(std::uint64_t t, const std::string& text) {
    TraceEntry e;
    e.timeNs = t;
    e.kind = TraceEntry::Kind::Event;
    e.text = text;
    record(std::move(e));
}

std::vector<std::uint8_t> Trace::hostBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const TraceEntry& e : entries_)
        if (e.kind == TraceEntry::Kind::HostByte) bytes.push_back(e.byte);
    return bytes;
}

std::vector<std::uint8_t> Trace::modelBytes() const {
    std::vector<std::uint8_t> bytes;
    for (const TraceEntry& e : entries_)
        if (e.kind == TraceEntry::Kind::ModelByte) bytes.push_back(e.byte);
    return bytes;
}

std::string Trace::format(const TraceEntry& e) {
    char time[40];
    std::snprintf(time, sizeof time, "%8" PRIu64 ".%06" PRIu64 " ms  ", e.timeNs / kNsPerMs,
                  e.timeNs % kNsPerMs);
    std::string line = time;
    auto got = [&](const char* who) {
        return e.received ? std::string(" (") + who + " got " + hexByte(*e.received) + ")"
                          : std::string(" (") + who + " got nothing)";
    };
    switch (e.kind) {
        case TraceEntry::Kind::Lines:
            line += std::string("lines   DTR ") + (e.dtr ? "set" : "clear") + ", RTS " +
                    (e.rts ? "set" : "clear");
            break;
        case TraceEntry::Kind::HostFormat: line += "host    format " + formatName(e.format); break;
        case TraceEntry::Kind::ModelFormat: line += "target  format " + formatName(e.format); break;
        case TraceEntry::Kind::HostByte:
            line += "host >  " + hexByte(e.byte) + got("target");
            break;
        case TraceEntry::Kind::ModelByte:
            line += "   < target " + hexByte(e.byte) + got("host");
            break;
        case TraceEntry::Kind::Event: line += "target  " + e.text; break;
    }
    if (e.kind != TraceEntry::Kind::Event && !e.text.empty()) line += " [" + e.text + "]";
    return line;
}

std::string Trace::dump() const {
    std::string text;
    for (const TraceEntry& e : entries_) text += format(e) + "\n";
    return text;
}

}  // namespace sim
