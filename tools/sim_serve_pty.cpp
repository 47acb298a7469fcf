// The simulated target on a pseudo-terminal.
//
// DTR and RTS do not cross a pseudo-terminal, but the line settings the host makes on its side
// do: the master side reads them. So the model follows the end of a programming run by the
// host's format. A host that sets the loader's format (8 data bits, even parity), as the tool
// does before its entry sequence, finds the chip started in its loader; when it leaves that
// format (the terminal's 8N1 after a run with -t) or closes the terminal at the end of a run, the
// chip is reset into its firmware, as releasing the reset line would. A host that opens the
// terminal in any other format (a plain terminal program) finds the firmware started afresh, so it
// sees its output from the start. When a host closes the terminal its settings go back to raw
// 8N1, so the next host's choice is seen even when it is the same as the last one's.
//
// Nor does the line speed cross it reliably: the model takes the host's format to be its own, so
// a byte is always understood; a host that changes speed when the model does (as the tool does
// after Change baud rate) sees the timing of the new speed.
#include <fcntl.h>
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

// Whether the host's side is set to the loader's format: 8 data bits, even parity.
bool inLoaderFormat(int master) {
    termios t{};
    if (tcgetattr(master, &t) != 0) return false;
    return (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & PARENB) && !(t.c_cflag & PARODD);
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
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

class PtyCarrier final : public Carrier {
public:
    explicit PtyCarrier(int master) : master_(master) {}

    void sendDue(ServedModel& model, std::uint64_t now) override {
        // Looked at on every pass (the loop wakes at least every 50 ms) and again before the host's
        // bytes are taken, so a host's first byte in a new format is heard in that format.
        if (connected_) followHostFormat(model);
        while (auto byte = model.due(now)) {
            if (write(master_, &*byte, 1) == 1 || !connected_) {
                model.pop();  // with no host listening the byte is lost, as on a wire
            } else {
                break;  // the terminal's buffer is full; try again shortly
            }
        }
    }

    std::size_t pollSet(const ServedModel& model, pollfd* set, std::size_t) override {
        set[0] = {master_, static_cast<short>(model.takesMore() ? POLLIN : 0), 0};
        return 1;
    }

    void serviced(ServedModel& model, const pollfd* set, std::size_t) override {
        platform::Clock& clock = platform::processClock();
        if (set[0].revents & POLLHUP) {
            // Nobody has the terminal open: wait without spinning.
            if (connected_) {
                connected_ = false;
                model.dropToModel();
                // A programming run has ended: its last step released the reset.
                if (loaderFormat_) startFirmware(model, clock.nowNs());
                makeRaw(master_);
                loaderFormat_ = false;
            }
            usleep(20000);
            return;
        }
        if (!connected_) {
            connected_ = true;
            loaderFormat_ = inLoaderFormat(master_);
            if (everConnected_) {
                // A new host session: a programming run (already in the loader's format) finds the
                // loader, anyone else the firmware from its start.
                if (loaderFormat_) {
                    model.dropFromModel();
                    model.target().startLoader(clock.nowNs());
                } else {
                    startFirmware(model, clock.nowNs());
                }
            }
            everConnected_ = true;
        }
        followHostFormat(model);
        if (set[0].revents & POLLIN) {
            std::uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) model.hostWrote(clock.nowNs(), buffer, static_cast<std::size_t>(n));
        }
    }

private:
    // Starts the loader when the host takes up the loader's format, the firmware when it leaves it.
    void followHostFormat(ServedModel& model) {
        const bool loader = inLoaderFormat(master_);
        if (loader == loaderFormat_) return;
        loaderFormat_ = loader;
        const std::uint64_t now = platform::processClock().nowNs();
        if (loader) {
            model.dropFromModel();
            model.target().startLoader(now);
        } else {
            startFirmware(model, now);
        }
    }

    // The chip reset into its firmware: reset held and released, TEST low.
    static void startFirmware(ServedModel& model, std::uint64_t now) {
        model.dropFromModel();
        model.hostLines(now, true, false);
        model.hostLines(now, false, false);
    }

    int master_;
    bool loaderFormat_ = false;  // the host's side is in the loader's format
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
