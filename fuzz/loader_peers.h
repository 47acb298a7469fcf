// The far ends the loader conversations' fuzz targets put behind their test port: a loader whose
// every answer comes from the fuzzer's input, and the simulated target with its answers recorded
// per host byte (the seeds: an input that makes the fuzzed loader answer as the simulated one).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "kit/scripted_peer.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "sim/sim_target.h"

namespace loaderpeers {

// A conversation that gets this far in virtual time is taken to be endless.
constexpr std::uint64_t kEndlessNs = 4ull * 3600 * 1000 * platform::kNsPerMs;

// For every byte the host sends, the next input byte says how many (its low 7 bits) of the
// following input bytes go back as the answer, back to back; with its top bit set, one more byte
// first delays the answer by that many times 5 ms (up to 1.3 s, past every time-out of the host).
// When the input is used up the far end falls silent.
class FuzzedLoader final : public platform::ScriptedPeer {
public:
    FuzzedLoader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        onByte = [this](ScriptedPeer& peer, std::uint64_t t, std::uint8_t) {
            if (pos_ >= size_) return;
            const std::uint8_t control = data_[pos_++];
            std::size_t count = control & 0x7F;
            std::uint64_t delayNs = 0;
            if ((control & 0x80) != 0 && pos_ < size_)
                delayNs = data_[pos_++] * 5 * platform::kNsPerMs;
            std::vector<std::uint8_t> answer;
            while (count-- > 0 && pos_ < size_) answer.push_back(data_[pos_++]);
            if (!answer.empty()) peer.sendAt(t + delayNs, answer);
        };
    }
    void advanceTo(std::uint64_t t) override {
        if (t > kEndlessNs) fuzzsupport::fail("endless run", "virtual time beyond four hours");
        ScriptedPeer::advanceTo(t);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The simulated target, its answers kept per host byte and the host's line changes in order.
class Recorder final : public platform::FarEnd, private platform::HostLink {
public:
    explicit Recorder(sim::SimConfig config) : target_(std::make_shared<sim::SimTarget>(config)) {
        target_->attach(this);
    }
    std::vector<std::vector<std::uint8_t>> answers;
    std::vector<platform::ScriptedPeer::HostLines> lines;
    sim::SimTarget& target() { return *target_; }

    // The answers as a fuzz input: `first`, then per host byte its count and bytes.
    std::vector<std::uint8_t> seed(std::uint8_t first) const {
        std::vector<std::uint8_t> input = {first};
        for (const auto& answer : answers) {
            if (answer.size() > 127) fuzzsupport::fail("seed", "answer longer than 127 bytes");
            input.push_back(static_cast<std::uint8_t>(answer.size()));
            input.insert(input.end(), answer.begin(), answer.end());
        }
        return input;
    }

    void hostLines(std::uint64_t t, bool dtr, bool rts) override {
        lines.push_back({t, dtr, rts});
        target_->hostLines(t, dtr, rts);
    }
    void hostFormat(std::uint64_t t, const platform::LineFormat& format) override {
        target_->hostFormat(t, format);
    }
    void hostByte(std::uint64_t t, std::uint8_t byte, const platform::LineFormat& format) override {
        answers.emplace_back();
        target_->hostByte(t, byte, format);
    }
    void advanceTo(std::uint64_t t) override { target_->advanceTo(t); }
    std::optional<std::uint64_t> nextEventTime() override { return target_->nextEventTime(); }

private:
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override {
        if (!answers.empty()) answers.back().push_back(byte);
        if (link_) link_->deliver(arrivalNs, byte);
    }
    platform::LineFormat hostFormat() const override {
        return link_ ? link_->hostFormat() : platform::LineFormat{};
    }
    std::shared_ptr<sim::SimTarget> target_;
};

}  // namespace loaderpeers
