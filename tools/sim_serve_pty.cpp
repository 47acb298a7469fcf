// The simulated target on a pseudo-terminal.
//
// DTR and RTS do not cross a pseudo-terminal, and neither does parity (the terminal driver keeps
// 8 data bits without parity whatever the host asks for). What does cross, in packet mode, is the
// host emptying its buffers, which the tool does each time it sets the port up: before its entry
// sequence and when terminal mode starts after a run. So the chip follows the host's purges as a
// board follows the reset and TEST lines: a purge while the chip runs its firmware, or while its
// loader has not yet heard anything, starts the loader (the entry sequence follows); a purge
// after the loader has taken the host's bytes ends the programming run, and the chip is reset
// into its firmware, as releasing the reset line would. Closing the terminal in the loader ends
// the run in the same way, and a host that opens the terminal after an earlier one closed it finds
// the firmware started afresh, so a terminal program sees its output from the start (the tool
// purges at once and so finds the loader).
//
// Nor does the line speed cross it reliably: the model takes the host's format to be its own, so
// a byte is always understood; a host that changes speed when the model does (as the tool does
// after Change baud rate) sees the timing of the new speed.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "served_model.h"
#include "sim_serve.h"

namespace simserve {

namespace {

// Raw in both directions until the host sets the terminal up itself: no echo of what the model
// sends, no line editing, no translation of line ends, 8N1. The master's settings are the host's.
void makeRaw(int master) {
    termios t{};
    if (tcgetattr(master, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
    }
}

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
    makeRaw(fd);
    // Packet mode: each read starts with a status byte, which reports the host's purges.
    int on = 1;
    if (ioctl(fd, TIOCPKT, &on) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

class PtyCarrier final : public Carrier {
public:
    explicit PtyCarrier(int master) : master_(master) {}

    void sendDue(ServedModel& model, std::uint64_t now) override {
        // A host that has just opened the terminal gets the firmware's output from its start,
        // not the rest of what went out while nobody listened.
        if (!connected_) {
            pollfd state{master_, 0, 0};
            if (poll(&state, 1, 0) >= 0 && !(state.revents & POLLHUP)) hostOpened(model, now);
        }
        while (auto byte = model.due(now)) {
            if (!connected_ || write(master_, &*byte, 1) == 1) {
                model.pop();  // with no host listening the byte is lost, as on a wire
            } else {
                break;  // the terminal's buffer is full; try again shortly
            }
        }
    }

    std::size_t pollSet(const ServedModel& model, pollfd* set, std::size_t) override {
        // POLLPRI: a purge is reported even while the host's bytes are held back.
        set[0] = {master_, static_cast<short>(model.takesMore() ? POLLIN | POLLPRI : POLLPRI), 0};
        return 1;
    }

    void serviced(ServedModel& model, const pollfd* set, std::size_t) override {
        platform::Clock& clock = platform::processClock();
        if (set[0].revents & POLLHUP) {
            // Nobody has the terminal open: wait without spinning.
            if (connected_) {
                connected_ = false;
                model.dropToModel();
                // A programming run ends with the reset released.
                if (inLoader_) startFirmware(model, clock.nowNs());
                makeRaw(master_);
            }
            usleep(20000);
            return;
        }
        if (!connected_) hostOpened(model, clock.nowNs());
        if (set[0].revents & (POLLIN | POLLPRI)) {
            std::uint8_t buffer[257];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) return;
            if (buffer[0] != TIOCPKT_DATA) {
                if (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) hostPurged(model);
                return;
            }
            if (n > 1) {
                model.hostWrote(clock.nowNs(), buffer + 1, static_cast<std::size_t>(n - 1));
                heardSinceLoader_ = true;
            }
        }
    }

private:
    void hostOpened(ServedModel& model, std::uint64_t now) {
        connected_ = true;
        tcflush(master_, TCOFLUSH);  // nothing of what went out before reaches the new host
        // A new host session finds the firmware from its start.
        if (everConnected_) startFirmware(model, now);
        everConnected_ = true;
    }

    void hostPurged(ServedModel& model) {
        const std::uint64_t now = platform::processClock().nowNs();
        if (inLoader_ && heardSinceLoader_) {
            startFirmware(model, now);
        } else {
            model.dropToModel();
            model.dropFromModel();
            model.target().startLoader(now);
            inLoader_ = true;
            heardSinceLoader_ = false;
        }
    }

    // The chip reset into its firmware: reset held and released, TEST low.
    void startFirmware(ServedModel& model, std::uint64_t now) {
        model.dropFromModel();
        model.hostLines(now, true, false);
        model.hostLines(now, false, false);
        inLoader_ = false;
    }

    int master_;
    bool inLoader_ = true;            // started in the loader, not since reset into the firmware
    bool heardSinceLoader_ = false;   // the loader has had bytes from the host since it started
    bool connected_ = false;  // a host has the terminal open
    bool everConnected_ = false;
};

}  // namespace

int servePty(sim::SimConfig config) {
    config.startInLoader = true;
    std::string slavePath;
    const int master = openMaster(slavePath);
    if (master < 0) {
        std::printf("cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    ServedModel model(config);
    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    PtyCarrier carrier(master);
    serve(model, carrier);
    close(master);
    return 0;
}

}  // namespace simserve
