// Raw mode, line format and speed of a POSIX serial port under termios.
#include "platform/tty/termios_format.h"

#include <sys/ioctl.h>

#include <optional>

namespace platform {
namespace {

// Linux's termios2, which carries the baud rate as a number (BOTHER) for rates that have no B
// constant. Declared here because <asm/termbits.h> cannot be included beside <termios.h>.
#if defined(__linux__)
struct LinuxTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr unsigned long kGetTermios2 = _IOR('T', 0x2A, LinuxTermios2);
constexpr unsigned long kSetTermios2 = _IOW('T', 0x2B, LinuxTermios2);
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kInputSpeedShift = 16;  // IBSHIFT
#endif

struct SpeedName {
    std::uint32_t baud;
    speed_t code;
};

constexpr SpeedName kSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

std::optional<speed_t> speedCode(std::uint32_t baud) {
    for (const auto& s : kSpeeds)
        if (s.baud == baud) return s.code;
    return std::nullopt;
}

std::uint32_t speedValue(speed_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

}  // namespace

// Raw 8-bit mode: no translation, no echo, no signals, no flow control, receiver on, modem
// status lines ignored for carrier. Reads never block in the driver (VMIN = VTIME = 0); waiting
// is done with poll.
void makeRaw(termios& t) {
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK | IGNPAR);
#ifdef IUCLC
    t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
#ifdef IMAXBEL
    t.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
#endif
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// The line format the DCB asks for, on top of raw mode. False when the format is one this
// backend cannot express.
bool applyFormat(termios& t, const k32::DCB& dcb) {
    tcflag_t size = 0;
    switch (dcb.ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return false;
    }
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | size;
    switch (dcb.Parity) {
        case k32::NOPARITY: break;
        case k32::ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case k32::EVENPARITY: t.c_cflag |= PARENB; break;
#ifdef CMSPAR
        case k32::MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case k32::SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: return false;
    }
    // Parity is checked on input only when asked for. A character with a parity error is then
    // still passed on as it was received: the driver marks it (on its own it would pass 0 in its
    // place) and the read takes the marks off.
    if (dcb.fParity && dcb.Parity != k32::NOPARITY) t.c_iflag |= INPCK | PARMRK;
    switch (dcb.StopBits) {
        case k32::ONESTOPBIT: break;
        case k32::ONE5STOPBITS:
        case k32::TWOSTOPBITS: t.c_cflag |= CSTOPB; break;
        default: return false;
    }
    return true;
}

std::uint32_t currentBaud(int fd, const termios& t) {
#if defined(__linux__)
    LinuxTermios2 t2{};
    if (ioctl(fd, kGetTermios2, &t2) == 0 && t2.c_ospeed != 0) return t2.c_ospeed;
#endif
    return speedValue(cfgetospeed(&t));
}

// Sets the attributes with the rate: a B constant where there is one, else the rate as a
// number (termios2 on Linux, IOSSIOSPEED on macOS).
bool setAttributes(int fd, termios t, std::uint32_t baud) {
    if (auto code = speedCode(baud)) {
        cfsetispeed(&t, *code);
        cfsetospeed(&t, *code);
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }
#if defined(__linux__)
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    LinuxTermios2 t2{};
    if (ioctl(fd, kGetTermios2, &t2) != 0) return false;
    t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << kInputSpeedShift));
    t2.c_cflag |= kBother | (kBother << kInputSpeedShift);
    t2.c_ispeed = baud;
    t2.c_ospeed = baud;
    return ioctl(fd, kSetTermios2, &t2) == 0;
#elif defined(__APPLE__) && defined(IOSSIOSPEED)
    if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    speed_t speed = baud;
    return ioctl(fd, IOSSIOSPEED, &speed) == 0;
#else
    (void)t;
    return false;
#endif
}

}  // namespace platform
