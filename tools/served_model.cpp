#include "served_model.h"

#include <time.h>

#include <algorithm>

#include "platform/clock.h"

namespace simserve {

volatile sig_atomic_t stopRequested = 0;

namespace {

void onSignal(int) { stopRequested = 1; }

// Waits up to `ns` for the descriptors, to the microsecond rather than poll's whole milliseconds: a
// wake-up that comes late makes the model's next byte or answer late by as much, every exchange.
int waitFor(pollfd* set, std::size_t count, std::uint64_t ns) {
    const std::uint64_t second = 1000 * sim::kNsPerMs;
#if defined(__linux__)
    timespec ts{static_cast<time_t>(ns / second), static_cast<long>(ns % second)};
    return ppoll(set, count, &ts, nullptr);
#else
    // Whole milliseconds with poll, then the rest asleep when nothing came meanwhile.
    int ready = poll(set, count, static_cast<int>(ns / sim::kNsPerMs));
    if (ready != 0 || ns % sim::kNsPerMs == 0) return ready;
    timespec rest{0, static_cast<long>(ns % sim::kNsPerMs)};
    nanosleep(&rest, nullptr);
    return poll(set, count, 0);
#endif
}

}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

ServedModel::ServedModel(const sim::SimConfig& config)
    : target_(std::make_shared<sim::SimTarget>(config)) {
    target_->attach(this);
    target_->advanceTo(platform::processClock().nowNs());
}

ServedModel::~ServedModel() { target_->attach(nullptr); }

void ServedModel::setHostFormat(std::uint64_t now, const platform::LineFormat& format) {
    if (hostFormat_ && *hostFormat_ == format) return;
    advanceTo(now);
    hostFormat_ = format;
    target_->hostFormat(now, format);
}

platform::LineFormat ServedModel::hostFormat() const {
    return hostFormat_ ? *hostFormat_ : target_->format();
}

void ServedModel::hostWrote(std::uint64_t now, const std::uint8_t* bytes, std::size_t count) {
    const std::uint64_t characterNs = hostFormat().characterNs();
    for (std::size_t i = 0; i < count; ++i) {
        lastInNs_ = std::max(now, lastInNs_) + characterNs;
        in_.push_back({lastInNs_, bytes[i], hostFormat_});
    }
}

void ServedModel::hostLines(std::uint64_t now, bool dtr, bool rts) {
    advanceTo(now);
    target_->hostLines(now, dtr, rts);
}

void ServedModel::advanceTo(std::uint64_t now) {
    while (!in_.empty() && in_.front().timeNs <= now) {
        const Timed b = in_.front();
        in_.pop_front();
        target_->advanceTo(b.timeNs);
        target_->hostByte(b.timeNs, b.byte, b.format ? *b.format : target_->format());
    }
    target_->advanceTo(now);
}

std::optional<std::uint8_t> ServedModel::due(std::uint64_t now) const {
    if (out_.empty() || out_.front().timeNs > now) return std::nullopt;
    return out_.front().byte;
}

std::uint64_t ServedModel::nextWake(std::uint64_t limit) {
    std::uint64_t wake = limit;
    if (!in_.empty()) wake = std::min(wake, in_.front().timeNs);
    if (!out_.empty()) wake = std::min(wake, out_.front().timeNs);
    if (auto next = target_->nextEventTime()) wake = std::min(wake, *next);
    return wake;
}

void ServedModel::deliver(std::uint64_t arrivalNs, std::uint8_t byte) {
    out_.push_back({arrivalNs, byte, {}});
}

void serve(ServedModel& model, Carrier& carrier) {
    platform::Clock& clock = platform::processClock();
    while (!stopRequested) {
        const std::uint64_t now = clock.nowNs();
        model.advanceTo(now);
        carrier.sendDue(model, now);

        // Sleep until the next thing to do, or until the host does something.
        const std::uint64_t wake = model.nextWake(now + 50 * sim::kNsPerMs);
        pollfd set[4];
        const std::size_t count = carrier.pollSet(model, set, 4);
        const int ready = waitFor(set, count, wake > now ? wake - now : 0);
        if (ready < 0) continue;  // a signal: the loop condition decides
        carrier.serviced(model, set, count);
    }
}

}  // namespace simserve
