// What the simulated chip's trace records (the host's line and format changes, every byte in
// either direction with what its receiver made of it, and what the model did) and how it prints.
// Entries go to a file as they happen and, when asked for, are also kept in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/line_format.h"

namespace sim {

struct TraceEntry {
    enum class Kind {
        Lines,        // the host changed DTR/RTS: dtr, rts
        HostFormat,   // the host's line format changed: format
        ModelFormat,  // the model's own line format changed: format
        HostByte,     // a byte from the host: byte as sent, received = as the model decoded it
        ModelByte,    // a byte from the model: byte as sent, received = as the host decoded it
        Event,        // what the model did: text
    };
    std::uint64_t timeNs = 0;  // bytes: when the stop bit ends at the receiver
    Kind kind = Kind::Event;
    bool dtr = false;
    bool rts = false;
    platform::LineFormat format{};
    std::uint8_t byte = 0;
    std::optional<std::uint8_t> received;  // nullopt: lost (framing or parity error, or dropped)
    std::string text;                      // events, and why a host byte was ignored
};

// Two hex digits, as the trace writes bytes.
std::string hexByte(std::uint8_t byte);

class Trace {
public:
    // `path`: the file the entries are written to as they happen ("" for none); `keep`: whether
    // they are also held in memory, each until the trace goes or is cleared.
    Trace(const std::string& path, bool keep);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    void record(TraceEntry entry);
    // Records an event.
    void note(std::uint64_t t, const std::string& text);

    const std::vector<TraceEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }
    std::vector<std::uint8_t> hostBytes() const;   // as the host sent them
    std::vector<std::uint8_t> modelBytes() const;  // as the model sent them

    // One entry as a line (no line end), all kept entries as lines.
    static std::string format(const TraceEntry& entry);
    std::string dump() const;

private:
    std::vector<TraceEntry> entries_;
    std::FILE* file_ = nullptr;
    bool keep_;
};

}  // namespace sim
