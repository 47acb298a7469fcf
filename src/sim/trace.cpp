#include "sim/trace.h"

#include <algorithm>
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

std::string milliseconds(std::uint64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, ns / kNsPerMs, ns % kNsPerMs);
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
    // What is still on its way is written, then how often each repeated event came.
    for (const TraceEntry& e : unwritten_) latestNs_ = std::max(latestNs_, e.timeNs);
    write(latestNs_);
    if (!file_) return;
    for (const Repeated& r : repeated_) {
        TraceEntry e;
        e.timeNs = latestNs_;
        e.text = r.text + " (" + std::to_string(r.count) + " times in all, the last at " +
                 milliseconds(r.lastNs > originNs_ ? r.lastNs - originNs_ : 0) + " ms)";
        const std::string line = format(e, originNs_);
        std::fputs(line.c_str(), file_);
        std::fputc('\n', file_);
    }
    std::fclose(file_);
}

void Trace::insertInOrder(std::vector<TraceEntry>& list, TraceEntry entry) {
    // After every entry of the same time or earlier: entries of one time keep their order.
    auto at = std::upper_bound(list.begin(), list.end(), entry.timeNs,
                               [](std::uint64_t t, const TraceEntry& e) { return t < e.timeNs; });
    list.insert(at, std::move(entry));
}

void Trace::record(TraceEntry entry) {
    // A byte from the model is recorded ahead of its time; anything else comes at the model's now.
    const bool ahead = entry.kind == TraceEntry::Kind::ModelByte;
    const std::uint64_t t = entry.timeNs;
    if (file_) insertInOrder(unwritten_, entry);
    if (keep_) insertInOrder(entries_, std::move(entry));
    if (!ahead) advanceTo(t);
}

void Trace::advanceTo(std::uint64_t t) {
    if (t < latestNs_) return;
    latestNs_ = t;
    write(t);
}

void Trace::write(std::uint64_t upToNs) {
    if (!file_) return;
    std::size_t n = 0;
    while (n < unwritten_.size() && unwritten_[n].timeNs <= upToNs) {
        std::fputs(format(unwritten_[n], originNs_).c_str(), file_);
        std::fputc('\n', file_);
        ++n;
    }
    if (n == 0) return;
    unwritten_.erase(unwritten_.begin(), unwritten_.begin() + static_cast<std::ptrdiff_t>(n));
    std::fflush(file_);
}

void Trace::noteRepeated(std::uint64_t t, const std::string& text) {
    auto it = std::find_if(repeated_.begin(), repeated_.end(),
                           [&](const Repeated& r) { return r.text == text; });
    if (it == repeated_.end()) {
        repeated_.push_back({text, 2, t});  // the first time was recorded as an event
    } else {
        ++it->count;
        it->lastNs = t;
    }
    advanceTo(t);
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

std::string Trace::format(const TraceEntry& e, std::uint64_t originNs) {
    char time[40];
    std::snprintf(time, sizeof time, "%15s ms  ",
                  milliseconds(e.timeNs > originNs ? e.timeNs - originNs : 0).c_str());
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
    for (const TraceEntry& e : entries_) text += format(e, originNs_) + "\n";
    return text;
}

}  // namespace sim
