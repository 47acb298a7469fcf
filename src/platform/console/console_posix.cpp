// The console on Linux/macOS: the controlling terminal (/dev/tty) in raw mode, its keys reported
// as console input records the way Windows reports them.
//
// Every byte the terminal sends becomes one key-down event whose AsciiChar is that byte. A lone
// ESC is the ESC key (AsciiChar 27). The sequences that arrow, function and editing keys send (ESC
// followed at once by more bytes) become key events without a character (AsciiChar 0), as such
// keys have none on Windows either. Ctrl-C keeps raising SIGINT, as with the default Windows
// console mode, and ends the program; the terminal's settings are restored on every way out:
// closing the console, process exit, and SIGINT, SIGTERM, SIGHUP or SIGQUIT.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string>

#include "platform/clock.h"
#include "platform/console/console_device.h"

namespace platform {
namespace {

// How long the bytes of one key's sequence may trail its ESC. Terminals send a sequence in one
// go; an ESC with nothing after it for this long is the ESC key itself.
constexpr std::chrono::milliseconds kSequenceGap{25};
// Longest escape sequence taken as one key; anything longer is cut into several keys.
constexpr std::size_t kMaxSequence = 32;

constexpr unsigned char kEsc = 0x1B;

// The terminal's settings before raw mode, for every path that has to put them back. Plain data
// only, since the signal handlers read them.
volatile sig_atomic_t rawActive = 0;
int rawFd = -1;
struct termios savedSettings;

constexpr int kRestoredSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kRestoredSignalCount = sizeof kRestoredSignals / sizeof kRestoredSignals[0];
struct sigaction previousActions[kRestoredSignalCount];

void restoreTerminal() {
    if (rawActive) {
        tcsetattr(rawFd, TCSANOW, &savedSettings);
        rawActive = 0;
    }
}

void restoreAtExit() { restoreTerminal(); }

// Restores the terminal, then lets the signal take its default course.
void restoreOnSignal(int signalNumber) {
    int savedErrno = errno;
    restoreTerminal();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    errno = savedErrno;
}

bool handlersInstalled = false;

void installSignalHandlers() {
    handlersInstalled = true;
    for (int i = 0; i < kRestoredSignalCount; ++i) {
        struct sigaction action {};
        action.sa_handler = restoreOnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND;
        sigaction(kRestoredSignals[i], &action, &previousActions[i]);
    }
}

void removeSignalHandlers() {
    if (!handlersInstalled) return;
    handlersInstalled = false;
    for (int i = 0; i < kRestoredSignalCount; ++i)
        sigaction(kRestoredSignals[i], &previousActions[i], nullptr);
}

k32::INPUT_RECORD keyDown(char ascii) {
    k32::INPUT_RECORD record{};
    record.EventType = k32::KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = k32::TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.uChar.AsciiChar = ascii;
    return record;
}

class ConsoleDevice final : public Device {
public:
    explicit ConsoleDevice(int fd) : fd_(fd) {}

    ~ConsoleDevice() override {
        // Unread keys are dropped with the raw settings, so they do not reach the shell.
        if (rawActive) {
            tcsetattr(fd_, TCSAFLUSH, &savedSettings);
            rawActive = 0;
        }
        removeSignalHandlers();
        if (rawFd == fd_) rawFd = -1;
        close(fd_);
    }

    // Switches the terminal to raw mode; false when it is not a terminal.
    bool enterRawMode() {
        static bool exitHandlerInstalled = false;
        if (tcgetattr(fd_, &savedSettings) != 0) return false;
        struct termios raw = savedSettings;
        raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                              ICRNL | IXON);
        // Keys are neither echoed nor collected into lines; output keeps its line-end handling.
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | IEXTEN);
        // Ctrl-C stays the interrupt key; the other signal keys become plain characters, so that
        // the program is never stopped with the terminal left raw.
        raw.c_lflag |= ISIG;
        raw.c_cc[VQUIT] = _POSIX_VDISABLE;
        raw.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
        raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
#ifdef VSTATUS
        raw.c_cc[VSTATUS] = _POSIX_VDISABLE;
#endif
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;

        rawFd = fd_;
        if (!exitHandlerInstalled) {
            std::atexit(restoreAtExit);
            exitHandlerInstalled = true;
        }
        installSignalHandlers();
        rawActive = 1;
        if (tcsetattr(fd_, TCSANOW, &raw) != 0) {
            rawActive = 0;
            removeSignalHandlers();
            rawFd = -1;
            return false;
        }
        return true;
    }

    bool peekConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& events) override {
        pump();
        events = 0;
        while (events < length && events < events_.size()) {
            records[events] = events_[events];
            ++events;
        }
        return true;
    }

    // Waits for at least one event, as the Windows call does.
    bool readConsoleInput(k32::INPUT_RECORD* records, k32::DWORD length,
                          k32::DWORD& events) override {
        events = 0;
        if (length == 0) return true;
        pump();
        while (events_.empty()) {
            if (!waitForInput()) return false;
            pump();
        }
        while (events < length && !events_.empty()) {
            records[events++] = events_.front();
            events_.pop_front();
        }
        return true;
    }

    // Signaled once a whole key has come; while an ESC waits to be told from the start of a
    // sequence, it is looked at again when its gap has passed.
    bool waitState(WaitState& state) override {
        pump();
        state.signaled = !events_.empty();
        state.descriptor = fd_;
        if (!pending_.empty()) {
            const auto left = kSequenceGap - (SteadyClock::now() - lastByteAt_);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            state.lookAgainNs = processClock().nowNs() + static_cast<std::uint64_t>(ns > 0 ? ns : 0);
        }
        return true;
    }

private:
    using SteadyClock = std::chrono::steady_clock;

    // Takes whatever the terminal has sent and turns complete keys into events. A terminal that
    // has hung up (its window closed, the line dropped) has nobody left to press ESC, and no
    // hang-up signal need reach us when another process leads the session: it reports ESC, so
    // terminal mode ends and the port is released as if the operator had left it.
    void pump() {
        unsigned char buffer[256];
        for (;;) {
            ssize_t got = ::read(fd_, buffer, sizeof buffer);
            if (got <= 0) break;
            for (ssize_t i = 0; i < got; ++i) pending_.push_back(static_cast<char>(buffer[i]));
            lastByteAt_ = SteadyClock::now();
        }
        const bool hungUp = hasHungUp();
        decode(hungUp || SteadyClock::now() - lastByteAt_ >= kSequenceGap);
        if (hungUp && events_.empty()) events_.push_back(keyDown(static_cast<char>(kEsc)));
    }

    bool hasHungUp() const {
        struct pollfd state {};
        state.fd = fd_;
        state.events = POLLIN;
        return poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    // Blocks until the terminal has more bytes or a pending ESC has waited out its gap.
    bool waitForInput() {
        int timeoutMs = -1;
        if (!pending_.empty()) {
            auto left = kSequenceGap - (SteadyClock::now() - lastByteAt_);
            timeoutMs = static_cast<int>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) +
                        1;
            if (timeoutMs < 0) timeoutMs = 0;
        }
        struct pollfd waitFor {};
        waitFor.fd = fd_;
        waitFor.events = POLLIN;
        int ready = poll(&waitFor, 1, timeoutMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (waitFor.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
            (waitFor.revents & POLLIN) == 0)
            return false;
        return true;
    }

    // Decodes the pending bytes. A sequence that may still be arriving stays pending unless
    // `settled` says its bytes have stopped coming.
    void decode(bool settled) {
        while (!pending_.empty()) {
            unsigned char first = static_cast<unsigned char>(pending_[0]);
            if (first != kEsc) {
                events_.push_back(keyDown(static_cast<char>(first)));
                pending_.erase(0, 1);
                continue;
            }
            std::size_t length = sequenceLength();
            if (length == 0) {
                if (!settled) return;
                // Nothing more came: ESC alone, or a sequence cut short that counts as one key.
                length = pending_.size() == 1 ? 1 : std::min(pending_.size(), kMaxSequence);
                if (length == 1) {
                    events_.push_back(keyDown(static_cast<char>(kEsc)));
                    pending_.erase(0, 1);
                    continue;
                }
            }
            events_.push_back(keyDown(0));
            pending_.erase(0, length);
        }
    }

    // Length of the complete key sequence at the front of the pending bytes (which begin with
    // ESC), or 0 when it is not complete yet.
    std::size_t sequenceLength() const {
        if (pending_.size() < 2) return 0;
        unsigned char second = static_cast<unsigned char>(pending_[1]);
        if (second == '[') {
            // Control sequence: parameter and intermediate bytes, then one final byte.
            for (std::size_t i = 2; i < pending_.size(); ++i) {
                unsigned char c = static_cast<unsigned char>(pending_[i]);
                if (c >= 0x40 && c <= 0x7E) return i + 1;
                if (c < 0x20 || c > 0x3F || i + 1 >= kMaxSequence) return i;  // malformed
            }
            return 0;
        }
        if (second == 'O') {
            // Single shift: one more byte names the key.
            return pending_.size() >= 3 ? 3 : 0;
        }
        // ESC in front of any other key is Alt held with it: the ESC is dropped and the key after
        // it decoded on its own, as Windows reports Alt with a key by the key's character.
        return 1;
    }

    int fd_;
    std::string pending_;
    std::deque<k32::INPUT_RECORD> events_;
    SteadyClock::time_point lastByteAt_{};
};

}  // namespace

std::unique_ptr<Device> openConsoleDevice(k32::DWORD /*access*/) {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto console = std::make_unique<ConsoleDevice>(fd);
    if (!console->enterRawMode()) return nullptr;
    return console;
}

}  // namespace platform
