// bsl430-sim: serves the simulated MSP430 on a pseudo-terminal, so that the tool (or anything else)
// can talk to it through a real tty with --device PATH.
//
//   bsl430-sim [settings]
//
// The settings are those of the "sim:" device (for example "version=1.10,fault=nack:erase:3").
// The program prints the path of the terminal on one line and serves until SIGINT or SIGTERM.
//
// DTR and RTS do not cross a pseudo-terminal, so the model starts in its loader, listening, and is
// started there again whenever a host opens the terminal after an earlier one closed it. Nor does
// the line speed cross it reliably: the model takes the host's format to be its own, so a byte is
// always understood; a host that changes speed when the model does (as the tool does after Change
// baud rate) sees the timing of the new speed. Bytes are paced as on a wire: the model hears a
// host byte one character time after the previous one has ended (or after it was written), and its
// own bytes reach the terminal one character time apart, on the real clock.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "sim/sim_device.h"
#include "sim/sim_target.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

struct Timed {
    std::uint64_t timeNs;
    std::uint8_t byte;
};

// The model's view of the host: whatever it sends is written to the terminal when it arrives.
class PtyLink final : public platform::HostLink {
public:
    explicit PtyLink(const sim::SimTarget& target) : target_(target) {}
    void deliver(std::uint64_t arrivalNs, std::uint8_t byte) override { out.push_back({arrivalNs, byte}); }
    platform::LineFormat hostFormat() const override { return target_.format(); }
    std::deque<Timed> out;

private:
    const sim::SimTarget& target_;
};

int openMaster(std::string& slavePath) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    if (grantpt(fd) != 0 || unlockpt(fd) != 0) {
        close(fd);
        return -1;
    }
    const char* name = ptsname(fd);
    if (!name) {
        close(fd);
        return -1;
    }
    slavePath = name;
    // Raw in both directions until the host sets the terminal up itself: no echo of what the model
    // sends, no line editing, no translation of line ends.
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Waits up to `ns` for the terminal, to the microsecond rather than poll's whole milliseconds: a
// wake-up that comes late makes the model's next byte or answer late by as much, every exchange.
int waitForInput(pollfd& p, std::uint64_t ns) {
    const std::uint64_t second = 1000 * sim::kNsPerMs;
#if defined(__linux__)
    timespec ts{static_cast<time_t>(ns / second), static_cast<long>(ns % second)};
    return ppoll(&p, 1, &ts, nullptr);
#else
    // Whole milliseconds with poll, then the rest asleep when nothing came meanwhile.
    int ready = poll(&p, 1, static_cast<int>(ns / sim::kNsPerMs));
    if (ready != 0 || ns % sim::kNsPerMs == 0) return ready;
    timespec rest{0, static_cast<long>(ns % sim::kNsPerMs)};
    nanosleep(&rest, nullptr);
    return poll(&p, 1, 0);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::string settings = argc > 1 ? argv[1] : "";
    if (settings.compare(0, 4, "sim:") == 0) settings = settings.substr(4);
    else if (settings == "sim") settings.clear();
    if (argc > 2 || settings == "-h" || settings == "--help") {
        std::printf("usage: %s [settings]\n", argv[0]);
        return 2;
    }
    sim::SimConfig config;
    std::string error;
    if (!sim::parseSimSettings(settings, config, error)) {
        std::printf("%s\n", error.c_str());
        return 2;
    }
    config.startInLoader = true;
    config.keepTrace = false;  // the server runs for many sessions and never looks back

    std::string slavePath;
    int master = openMaster(slavePath);
    if (master < 0) {
        std::printf("cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    platform::Clock& clock = platform::processClock();
    auto target = std::make_shared<sim::SimTarget>(config);
    PtyLink link(*target);
    target->attach(&link);
    target->advanceTo(clock.nowNs());

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    std::deque<Timed> in;          // host bytes with the time the model hears them
    std::uint64_t lastInNs = 0;    // when the last host byte ended on the simulated wire
    bool connected = false;        // a host has the terminal open
    bool everConnected = false;

    while (!stopRequested) {
        std::uint64_t now = clock.nowNs();

        // Host bytes whose time has come, each at its own time.
        while (!in.empty() && in.front().timeNs <= now) {
            Timed b = in.front();
            in.pop_front();
            target->advanceTo(b.timeNs);
            target->hostByte(b.timeNs, b.byte, target->format());
        }
        target->advanceTo(now);

        // The model's bytes that have arrived by now.
        while (!link.out.empty() && link.out.front().timeNs <= now) {
            ssize_t n = write(master, &link.out.front().byte, 1);
            if (n == 1 || !connected) {
                link.out.pop_front();  // with no host listening the byte is lost, as on a wire
            } else {
                break;  // the terminal's buffer is full; try again shortly
            }
        }

        // Sleep until the next thing to do, or until the host writes.
        std::uint64_t wake = now + 50 * sim::kNsPerMs;
        if (!in.empty()) wake = std::min(wake, in.front().timeNs);
        if (!link.out.empty()) wake = std::min(wake, link.out.front().timeNs);
        if (auto next = target->nextEventTime()) wake = std::min(wake, *next);
        pollfd p{master, POLLIN, 0};
        int ready = waitForInput(p, wake > now ? wake - now : 0);
        if (ready < 0) continue;  // a signal: the loop condition decides
        if (p.revents & POLLHUP) {
            // Nobody has the terminal open: wait without spinning.
            if (connected) {
                connected = false;
                in.clear();
            }
            usleep(20000);
            continue;
        }
        if (!connected) {
            connected = true;
            if (everConnected) {
                // A new host session: the chip is started in its loader again, as the tool's entry
                // sequence would do on a real line.
                link.out.clear();
                target->startLoader(clock.nowNs());
            }
            everConnected = true;
        }
        if (p.revents & POLLIN) {
            std::uint8_t buffer[256];
            ssize_t n = read(master, buffer, sizeof buffer);
            std::uint64_t readNs = clock.nowNs();
            for (ssize_t i = 0; i < n; ++i) {
                std::uint64_t end = std::max(readNs, lastInNs) + target->format().characterNs();
                lastInNs = end;
                in.push_back({end, buffer[i]});
            }
        }
    }

    target->attach(nullptr);
    close(master);
    return 0;
}
