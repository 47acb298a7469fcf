// A host for the simulated target in tests: drives its lines and sends it bytes with exact wire
// timing on a time line of its own, and collects what the target delivers.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "sim/sim_target.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kMs = sim::kNsPerMs;
inline const platform::LineFormat kLoader{9600, 8, 2, 0};
inline const platform::LineFormat kFast{38400, 8, 2, 0};

class Wire : public platform::HostLink {
public:
    explicit Wire(sim::SimConfig config = {})
        : target(std::make_shared<sim::SimTarget>(std::move(config))) {
        target->attach(this);
        target->advanceTo(0);
    }
    ~Wire() override { target->attach(nullptr); }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override {
        arrived.push_back({arrivalNs, byte});
    }
    platform::LineFormat hostFormat() const override { return format; }

    void wait(double ms) {
        now += static_cast<std::uint64_t>(ms * kMs);
        target->advanceTo(now);
    }
    void setFormat(const platform::LineFormat& f) {
        format = f;
        target->hostFormat(now, f);
    }
    void lines(bool dtrSet, bool rtsSet) {
        dtr = dtrSet;
        rts = rtsSet;
        target->hostLines(now, dtr, rts);
    }
    // The host's two lines in the tool's terms: RST/NMI level (0 held in reset) and TEST level
    // (1 rest, 0 pulse), with the RTS sense of the tool's test mode.
    void reset(int level) { lines(level == 0, rts); }
    void test(int level) { lines(dtr, (level == 0) != testMode); }

    void send(const Bytes& bytes) {
        for (std::uint8_t b : bytes) {
            now += format.characterNs();
            target->advanceTo(now);
            target->hostByte(now, b, format);
        }
    }
    // Waits, then returns the bytes that have arrived by then and forgets them.
    Bytes take(double ms = 20) {
        wait(ms);
        Bytes got;
        std::vector<std::pair<std::uint64_t, std::uint8_t>> later;
        for (auto& [t, b] : arrived) {
            if (t <= now)
                got.push_back(b);
            else
                later.push_back({t, b});
        }
        arrived = later;
        return got;
    }

    // The tool's start of the loader: the driver holds reset with TEST in its pulse state, then the
    // entry sequence runs and waits 250 ms.
    void enterLoader() {
        setFormat(kLoader);
        reset(0);
        test(0);
        wait(100);
        test(1);
        wait(100);
        reset(0);
        wait(100);
        test(0);
        test(1);
        test(0);
        reset(1);
        test(1);
        wait(250);
        arrived.clear();
    }

    // Synchronisation, a 10 ms pause and one frame; returns everything the target answered.
    Bytes exchange(const Bytes& frame, double waitMs = 50) {
        send({0x80});
        Bytes answer = take(5);
        wait(10);
        send(frame);
        Bytes rest = take(waitMs);
        answer.insert(answer.end(), rest.begin(), rest.end());
        return answer;
    }

    std::shared_ptr<sim::SimTarget> target;
    platform::LineFormat format = kLoader;
    std::vector<std::pair<std::uint64_t, std::uint8_t>> arrived;
    std::uint64_t now = 0;
    bool dtr = false;
    bool rts = false;
    bool testMode = false;
};

// A frame with its checksum; L is 4 plus the number of data bytes.
inline Bytes frame(std::uint8_t command, std::uint16_t address, std::uint16_t length,
                   const Bytes& data = {}) {
    std::uint8_t l = static_cast<std::uint8_t>(4 + data.size());
    Bytes f{0x80,
            command,
            l,
            l,
            static_cast<std::uint8_t>(address),
            static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8)};
    for (std::uint8_t b : data) f.push_back(b);
    std::uint16_t ck = sim::frameChecksum(f.data(), f.size());
    f.push_back(static_cast<std::uint8_t>(ck));
    f.push_back(static_cast<std::uint8_t>(ck >> 8));
    return f;
}

inline Bytes massErase() { return frame(0x18, 0xFF00, 0xA506); }
inline Bytes password() { return frame(0x10, 0xFFE0, 0x20, Bytes(32, 0xFF)); }
inline Bytes readBlock(std::uint16_t address, std::uint16_t n) { return frame(0x14, address, n); }
inline Bytes writeBlock(std::uint16_t address, const Bytes& data) {
    return frame(0x12, address, static_cast<std::uint16_t>(data.size()), data);
}
inline Bytes loadPc(std::uint16_t address) { return frame(0x1A, address, 0); }
inline Bytes changeBaud(std::uint16_t clock) { return frame(0x20, clock, 2); }

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// The data reply a loader gives for the bytes read.
inline Bytes dataReply(const Bytes& data) {
    std::uint8_t n = static_cast<std::uint8_t>(data.size());
    Bytes r = cat({0x80, 0x00, n, n}, data);
    std::uint16_t ck = sim::frameChecksum(r.data(), r.size());
    r.push_back(static_cast<std::uint8_t>(ck));
    r.push_back(static_cast<std::uint8_t>(ck >> 8));
    return r;
}

}  // namespace simtest
