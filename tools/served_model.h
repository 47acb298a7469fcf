// The simulated target served to another process on the real clock, whatever carries the bytes (a
// pseudo-terminal or a network connection): the host's bytes are queued with the time the model
// hears them, the model's bytes with the time they reach the host, and one event loop sleeps until
// the next of those times or until a carrier's descriptor is ready.
#pragma once

#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "platform/line_format.h"
#include "platform/simulated/far_end.h"
#include "sim/sim_target.h"

namespace simserve {

// Set by SIGINT and SIGTERM; the event loop ends when it is.
extern volatile sig_atomic_t stopRequested;
void installStopSignals();

class ServedModel final : public platform::HostLink {
public:
    explicit ServedModel(const sim::SimConfig& config);
    ~ServedModel() override;
    ServedModel(const ServedModel&) = delete;
    ServedModel& operator=(const ServedModel&) = delete;

    sim::SimTarget& target() { return *target_; }

    // The host's line format. Unset (the pseudo-terminal, which carries no format): the host is
    // taken to use the model's own format, so a byte is always understood.
    void setHostFormat(std::uint64_t now, const platform::LineFormat& format);
    platform::LineFormat hostFormat() const override;

    // Bytes the host wrote at `now`: the model hears each one character time after the previous
    // one ended (or after it was written), in the format the host had when it wrote it.
    void hostWrote(std::uint64_t now, const std::uint8_t* bytes, std::size_t count);
    // The host's DTR and RTS (true: set), from `now` on.
    void hostLines(std::uint64_t now, bool dtr, bool rts);

    // The host's bytes not yet heard by the model, and the model's bytes not yet taken by the
    // host, are thrown away. A dropped queue leaves no trace: the line is free at once, so the
    // next byte is not held back behind bytes that will never be sent.
    void dropToModel() {
        in_.clear();
        lastInNs_ = 0;
    }
    // Whether the carrier should take more of the host's bytes: a host that writes faster than the
    // line carries is held back by its carrier (the terminal's or the connection's own buffer)
    // once a UART driver's worth of its bytes waits, rather than queued here without end.
    bool takesMore() const { return in_.size() < kMaxBacklog; }
    void dropFromModel() { out_.clear(); }

    // Runs the model up to `now`, the host's bytes due by then included.
    void advanceTo(std::uint64_t now);
    // The model's next byte that has reached the host by `now`, if any; pop() takes it.
    std::optional<std::uint8_t> due(std::uint64_t now) const;
    void pop() { out_.pop_front(); }
    // When there is next something to do (at most `limit`).
    std::uint64_t nextWake(std::uint64_t limit);

    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override;

private:
    struct Timed {
        std::uint64_t timeNs;
        std::uint8_t byte;
        std::optional<platform::LineFormat> format;  // unset: the model's own when heard
    };

    static constexpr std::size_t kMaxBacklog = 4096;

    std::shared_ptr<sim::SimTarget> target_;
    std::optional<platform::LineFormat> hostFormat_;
    std::deque<Timed> in_;        // host bytes with the time the model hears them
    std::deque<Timed> out_;       // model bytes with the time they reach the host
    std::uint64_t lastInNs_ = 0;  // when the last host byte ended on the simulated wire
};

// What carries the bytes between the model and the host.
class Carrier {
public:
    virtual ~Carrier() = default;
    // Hands the host the model's bytes due by `now`.
    virtual void sendDue(ServedModel& model, std::uint64_t now) = 0;
    // The descriptors to wait on (at most `max`), and what to do once the wait is over.
    virtual std::size_t pollSet(const ServedModel& model, pollfd* set, std::size_t max) = 0;
    virtual void serviced(ServedModel& model, const pollfd* set, std::size_t count) = 0;
};

// Serves until SIGINT or SIGTERM.
void serve(ServedModel& model, Carrier& carrier);

}  // namespace simserve
