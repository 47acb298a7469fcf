// The test backend: a serial port on the process clock whose far end is a FarEnd (the simulated
// target or a scripted peer). Writes take their wire time at the host's format; reads honour the
// COMMTIMEOUTS as Windows does, advancing the clock instead of waiting when it is virtual.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/device.h"
#include "platform/far_end.h"

namespace platform {

class TestPort final : public Device, private HostLink {
public:
    explicit TestPort(std::shared_ptr<FarEnd> farEnd);
    ~TestPort() override;

    bool getCommState(k32::DCB& dcb) override;
    bool setCommState(const k32::DCB& dcb) override;
    bool getCommTimeouts(k32::COMMTIMEOUTS& timeouts) override;
    bool setCommTimeouts(const k32::COMMTIMEOUTS& timeouts) override;
    bool purge(k32::DWORD flags) override;
    bool read(void* buffer, k32::DWORD count, k32::DWORD& read) override;
    bool write(const void* buffer, k32::DWORD count, k32::DWORD& written) override;
    bool escape(k32::DWORD function) override;
    bool modemStatus(k32::DWORD& status) override;

    // What the port looks like from outside, for tests.
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    const k32::DCB& commState() const { return dcb_; }
    const k32::COMMTIMEOUTS& commTimeouts() const { return timeouts_; }
    LineFormat format() const { return hostFormat(); }
    // The adapter is gone: every later call fails, reads return nothing, writes are lost.
    void unplug() { unplugged_ = true; }

private:
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override;
    LineFormat hostFormat() const override;
    void runFarEndTo(std::uint64_t t);

    std::shared_ptr<FarEnd> farEnd_;
    k32::DCB dcb_{};
    k32::COMMTIMEOUTS timeouts_{};
    bool dtr_ = false;
    bool rts_ = false;
    bool unplugged_ = false;
    std::uint64_t txFreeNs_ = 0;
    struct Arrival {
        std::uint64_t timeNs;
        std::uint8_t byte;
    };
    std::deque<Arrival> rx_;
};

// Serves `name` (for example "COM7" or "\\\\.\\COM7") with a new TestPort on `farEnd` each time it
// is opened. Returns the opener id for removeDeviceOpener.
int serveTestPort(const std::string& name, std::shared_ptr<FarEnd> farEnd);

}  // namespace platform
