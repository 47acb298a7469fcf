// The simulated target on a pseudo-terminal.
//
// DTR and RTS do not cross a pseudo-terminal, so the model starts in its loader, listening, and is
// started there again whenever a host opens the terminal after an earlier one closed it. Nor does
// the line speed cross it reliably: the model takes the host's format to be its own, so a byte is
// always understood; a host that changes speed when the model does (as the tool does after Change
// baud rate) sees the timing of the new speed.
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

class PtyCarrier final : public Carrier {
public:
    explicit PtyCarrier(int master) : master_(master) {}

    void sendDue(ServedModel& model, std::uint64_t now) override {
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
        if (set[0].revents & POLLHUP) {
            // Nobody has the terminal open: wait without spinning.
            if (connected_) {
                connected_ = false;
                model.dropToModel();
            }
            usleep(20000);
            return;
        }
        platform::Clock& clock = platform::processClock();
        if (!connected_) {
            connected_ = true;
            if (everConnected_) {
                // A new host session: the chip is started in its loader again, as the tool's entry
                // sequence would do on a real line.
                model.dropFromModel();
                model.target().startLoader(clock.nowNs());
            }
            everConnected_ = true;
        }
        if (set[0].revents & POLLIN) {
            std::uint8_t buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) model.hostWrote(clock.nowNs(), buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int master_;
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
