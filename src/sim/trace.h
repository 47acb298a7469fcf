// What the simulated chip's trace records (the host's line and format changes, every byte in
// either direction with what its receiver made of it, and what the model did) and how it prints.
// Entries go to a file, in time order, once the model's time has reached them, and, when asked for,
// are also kept in memory, in time order from the start. Times in the printed lines are counted
// from power-on.
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

    // Entries may come out of time order: a byte the model sends is recorded when it starts, with
    // the time it arrives, and the host's bytes that arrive meanwhile are recorded after it. The
    // file gets each entry once the model's time (the newest entry's or advanceTo's) reaches it.
    void record(TraceEntry entry);
    // Records an event.
    void note(std::uint64_t t, const std::string& text);
    // An event recorded once (a reset, a misused register) has come again, perhaps again and
    // again in a loop: it is counted, and when the trace ends one line tells how often it came in
    // all and when last.
    void noteRepeated(std::uint64_t t, const std::string& text);
    // The model's time has reached t: the file gets the entries up to it.
    void advanceTo(std::uint64_t t);
    // Power-on, from which the printed times count.
    void setOrigin(std::uint64_t t) { originNs_ = t; }

    const std::vector<TraceEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }
    std::vector<std::uint8_t> hostBytes() const;   // as the host sent them
    std::vector<std::uint8_t> modelBytes() const;  // as the model sent them

    // One entry as a line (no line end) with its time counted from `originNs`, all kept entries
    // as lines.
    static std::string format(const TraceEntry& entry, std::uint64_t originNs = 0);
    std::string dump() const;

private:
    struct Repeated {
        std::string text;
        std::uint64_t count;
        std::uint64_t lastNs;
    };
    void write(std::uint64_t upToNs);
    void insertInOrder(std::vector<TraceEntry>& list, TraceEntry entry);

    std::vector<TraceEntry> entries_;
    std::vector<TraceEntry> unwritten_;  // for the file, in time order
    std::vector<Repeated> repeated_;
    std::uint64_t originNs_ = 0;
    std::uint64_t latestNs_ = 0;  // the model's time as far as the trace has seen it
    std::FILE* file_ = nullptr;
    bool keep_;
};

}  // namespace sim
