// A serial port on Linux/macOS with the meaning the kernel32 calls have on Windows: raw 8-bit
// data, the line format from the DCB, COMMTIMEOUTS read time-outs done with poll, writes that
// return once the driver has taken the bytes, purge, DTR/RTS and the modem inputs.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/open_failure.h"
#include "platform/read_timeouts.h"
#include "platform/tty/parity_marks.h"
#include "platform/tty/port_lock_file.h"
#include "platform/tty/posix_serial.h"
#include "platform/tty/termios_format.h"
#include "platform/tty/tty_open_failure.h"

namespace platform {
namespace {

class PosixSerial final : public Device {
public:
    PosixSerial(int fd, std::string lockPath) : fd_(fd), lockPath_(std::move(lockPath)) {
        dcb_.DCBlength = sizeof(k32::DCB);
        dcb_.fBinary = 1;
        // The system raises DTR and RTS when it opens the port, as Windows' "enable" modes do.
        dcb_.fDtrControl = k32::DTR_CONTROL_ENABLE;
        dcb_.fRtsControl = k32::RTS_CONTROL_ENABLE;
        dcb_.XonChar = 0x11;
        dcb_.XoffChar = 0x13;
    }
    // The exclusive use ends with the close: a pseudo-terminal, or a port another program keeps
    // open, outlives it, and would otherwise turn away the next program of an ordinary user.
    ~PosixSerial() override {
        restoreLatency();
        ioctl(fd_, TIOCNXCL);
        flock(fd_, LOCK_UN);
        ::close(fd_);
        unlockPort(lockPath_);
    }

    // Raw mode at the port's current speed.
    bool makeRawNow() {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        makeRaw(t);
        if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
        noteMarking();
        return true;
    }

    // Asks the driver to hand on received bytes at once. USB adapters collect them for a while
    // first (FTDI's latency timer, 16 ms by default), which costs that much on every answer the
    // loader gives. Not every driver knows the request; the port works without it. The setting
    // outlives the close, so the port's own is put back then.
    void lowerLatency() {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
        serial_struct info{};
        if (ioctl(fd_, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY)) return;
        const int before = info.flags;
        info.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd_, TIOCSSERIAL, &info) == 0) latencyFlags_ = before;
#endif
    }

    bool getCommState(k32::DCB& dcb) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        dcb = dcb_;
        dcb.BaudRate = currentBaud(fd_, t);
        switch (t.c_cflag & CSIZE) {
            case CS5: dcb.ByteSize = 5; break;
            case CS6: dcb.ByteSize = 6; break;
            case CS7: dcb.ByteSize = 7; break;
            default: dcb.ByteSize = 8; break;
        }
        dcb.Parity = k32::NOPARITY;
        if (t.c_cflag & PARENB) {
            dcb.Parity = (t.c_cflag & PARODD) ? k32::ODDPARITY : k32::EVENPARITY;
#ifdef CMSPAR
            if (t.c_cflag & CMSPAR)
                dcb.Parity = (t.c_cflag & PARODD) ? k32::MARKPARITY : k32::SPACEPARITY;
#endif
        }
        dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
        dcb.StopBits = (t.c_cflag & CSTOPB) ? k32::TWOSTOPBITS : k32::ONESTOPBIT;
        // No flow control is ever set up by this backend.
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fBinary = 1;
        return true;
    }

    // Applies the DCB's rate and format in raw mode, without flow control whatever the DCB says
    // (DTR and RTS are driven only through EscapeCommFunction). When the device refuses part of
    // it, the port is still left raw with 8 data bits at the requested rate where possible, and
    // the call fails.
    bool setCommState(const k32::DCB& dcb) override {
        if (dcb.BaudRate == 0) return false;
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        makeRaw(t);
        termios plain = t;
        bool formatOk = applyFormat(t, dcb);
        bool ok = formatOk && setAttributes(fd_, t, dcb.BaudRate) && matches(t, dcb.BaudRate);
        if (!ok) setAttributes(fd_, plain, dcb.BaudRate);
        noteMarking();
        if (!ok) return false;
        dcb_ = dcb;
        return true;
    }

    bool getCommTimeouts(k32::COMMTIMEOUTS& timeouts) override {
        timeouts = timeouts_;
        return true;
    }

    bool setCommTimeouts(const k32::COMMTIMEOUTS& timeouts) override {
        timeouts_ = timeouts;
        return true;
    }

    bool purge(k32::DWORD flags) override {
        bool in = (flags & k32::PURGE_RXCLEAR) != 0;
        bool out = (flags & k32::PURGE_TXCLEAR) != 0;
        if (!in && !out) return true;  // nothing pending to abort: every call is synchronous
        if (in) {
            unmarked_.clear();
            marks_.reset();
        }
        return tcflush(fd_, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) == 0;
    }

    bool read(void* buffer, k32::DWORD count, k32::DWORD& got) override;
    // Signaled while received bytes wait in the driver or here. A port that has gone away (the
    // adapter pulled, the far side of a pseudo-terminal closed) is not watched: nothing more can
    // come from it, and its descriptor would end every wait at once.
    bool waitState(WaitState& state) override {
        int queued = 0;
        state.signaled = !unmarked_.empty() || (ioctl(fd_, FIONREAD, &queued) == 0 && queued > 0);
        pollfd p{fd_, POLLIN, 0};
        const bool gone = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL));
        state.descriptor = gone ? -1 : fd_;
        return true;
    }
    ssize_t takeInput(std::uint8_t* out, std::size_t count);
    bool write(const void* buffer, k32::DWORD count, k32::DWORD& written) override;

    bool escape(k32::DWORD function) override {
        int bits = 0;
        switch (function) {
            case k32::SETDTR: bits = TIOCM_DTR; return ioctl(fd_, TIOCMBIS, &bits) == 0;
            case k32::CLRDTR: bits = TIOCM_DTR; return ioctl(fd_, TIOCMBIC, &bits) == 0;
            case k32::SETRTS: bits = TIOCM_RTS; return ioctl(fd_, TIOCMBIS, &bits) == 0;
            case k32::CLRRTS: bits = TIOCM_RTS; return ioctl(fd_, TIOCMBIC, &bits) == 0;
            case k32::SETBREAK: return ioctl(fd_, TIOCSBRK) == 0;
            case k32::CLRBREAK: return ioctl(fd_, TIOCCBRK) == 0;
            case k32::SETXOFF: return tcflow(fd_, TCOOFF) == 0;
            case k32::SETXON: return tcflow(fd_, TCOON) == 0;
            default: return false;
        }
    }

    bool modemStatus(k32::DWORD& status) override {
        status = 0;
        int bits = 0;
        if (ioctl(fd_, TIOCMGET, &bits) != 0) return false;
        if (bits & TIOCM_CTS) status |= k32::MS_CTS_ON;
        if (bits & TIOCM_DSR) status |= k32::MS_DSR_ON;
        if (bits & TIOCM_RI) status |= k32::MS_RING_ON;
        if (bits & TIOCM_CD) status |= k32::MS_RLSD_ON;
        return true;
    }

private:
    // Whether the device now has what was asked for: tcsetattr succeeds when any part was taken.
    bool matches(const termios& wanted, std::uint32_t baud) const {
        termios now{};
        if (tcgetattr(fd_, &now) != 0) return false;
        const tcflag_t cflags = CSIZE | PARENB | PARODD | CSTOPB
#ifdef CMSPAR
                                | CMSPAR
#endif
            ;
        if ((now.c_cflag & cflags) != (wanted.c_cflag & cflags)) return false;
        if ((now.c_iflag & (INPCK | PARMRK)) != (wanted.c_iflag & (INPCK | PARMRK))) return false;
        std::uint32_t actual = currentBaud(fd_, now);
        return actual == 0 || actual == baud;  // 0: the device does not say
    }

    // Whether the driver now marks received bytes (see ParityMarks).
    void noteMarking() {
        termios now{};
        marked_ = tcgetattr(fd_, &now) == 0 && (now.c_iflag & PARMRK) && (now.c_iflag & INPCK);
    }

    void restoreLatency() {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
        if (latencyFlags_ < 0) return;
        serial_struct info{};
        if (ioctl(fd_, TIOCGSERIAL, &info) != 0) return;
        info.flags = latencyFlags_;
        ioctl(fd_, TIOCSSERIAL, &info);
#endif
    }

    int fd_;
    std::string lockPath_;  // the port's lock file, "" when it has none
    k32::DCB dcb_{};
    k32::COMMTIMEOUTS timeouts_{};
    bool marked_ = false;
    ParityMarks marks_;
    std::deque<std::uint8_t> unmarked_;  // received, marks taken off, not yet read
    int latencyFlags_ = -1;              // the port's own flags while ours are set
};

// Milliseconds for poll from nanoseconds left, rounded up so a wait never ends early.
int pollMs(std::uint64_t ns) {
    std::uint64_t ms = (ns + kNsPerMs - 1) / kNsPerMs;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

bool PosixSerial::read(void* buffer, k32::DWORD count, k32::DWORD& got) {
    got = 0;
    if (count == 0) return true;
    // Read time-outs are real time, whatever clock the process runs on.
    RealClock clock;
    const std::uint64_t start = clock.nowNs();
    const ReadPlan plan = planRead(timeouts_, count, start);

    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t lastByteNs = start;
    bool hungUp = false;
    for (;;) {
        // Take whatever the driver has, without waiting.
        ssize_t n = takeInput(out + got, count - got);
        if (n > 0) {
            got += static_cast<k32::DWORD>(n);
            lastByteNs = clock.nowNs();
            if (got == count || plan.endsOnFirstByte) return true;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return got > 0;
        // The device has gone away (the adapter was pulled, the other side of a pseudo-terminal
        // closed) and nothing is left to read: fail now rather than spin until the time-out.
        if (hungUp) return got > 0;

        const std::uint64_t now = clock.nowNs();
        const std::optional<std::uint64_t> deadline = plan.endNs(got, lastByteNs);
        if (deadline && now >= *deadline) return true;

        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, deadline ? pollMs(*deadline - now) : -1);
        if (ready < 0 && errno != EINTR) return got > 0;
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) hungUp = true;
    }
}

// Up to `count` received bytes without waiting: how many, 0 when none has come, -1 (errno set)
// when the read fails. Marked input is read ahead in blocks and its marks taken off; what the
// caller did not ask for yet waits in unmarked_.
ssize_t PosixSerial::takeInput(std::uint8_t* out, std::size_t count) {
    if (unmarked_.empty()) {
        if (!marked_) return ::read(fd_, out, count);
        std::uint8_t raw[256];
        const ssize_t n = ::read(fd_, raw, sizeof raw);
        if (n <= 0) return n;
        std::uint8_t plain[sizeof raw + 1];
        const std::size_t k = marks_.unmark(raw, static_cast<std::size_t>(n), plain);
        unmarked_.insert(unmarked_.end(), plain, plain + k);
    }
    const std::size_t k = std::min(count, unmarked_.size());
    std::copy_n(unmarked_.begin(), k, out);
    unmarked_.erase(unmarked_.begin(), unmarked_.begin() + static_cast<std::ptrdiff_t>(k));
    return static_cast<ssize_t>(k);
}

bool PosixSerial::write(const void* buffer, k32::DWORD count, k32::DWORD& written) {
    written = 0;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (written < count) {
        ssize_t n = ::write(fd_, in + written, count - written);
        if (n > 0) {
            written += static_cast<k32::DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Device> openPosixSerial(const std::string& path) {
    // The lock file first: opening the port would already raise DTR and RTS on a board that
    // another run is programming.
    std::string lockPath;
    if (lockPort(path, lockPath) == PortLock::Busy) {
        setOpenFailure(ttyLockedFailure(path, lockPath, lockFileOwner(lockPath)));
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const auto refuse = [&]() -> std::unique_ptr<Device> {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        unlockPort(lockPath);
        setOpenFailure(ttyOpenFailure(path, error));
        return nullptr;
    };
    if (fd < 0) return refuse();
    termios t{};
    // Only terminals are serial ports; and one program at a time: the flock keeps out a second
    // bsl430 even where TIOCEXCL does not apply (root), TIOCEXCL keeps other opens out. The flock
    // comes first, so that a program turned away never touches the holder's TIOCEXCL.
    if (tcgetattr(fd, &t) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse();
    if (ioctl(fd, TIOCEXCL) != 0) return refuse();
    // Blocking from here on: writes wait until the driver has taken the bytes; reads wait in poll.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return refuse();
    auto device = std::make_unique<PosixSerial>(fd, lockPath);
    if (!device->makeRawNow()) {
        setOpenFailure(ttyOpenFailure(path, errno));
        return nullptr;
    }
    device->lowerLatency();
    return device;
}

}  // namespace platform
