// Only the kernel's own termios definitions here; see Termios2.h.
#include "serial/Termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

// Speeds that have a Bxxx code of their own; the rest go through BOTHER.
struct SpeedCode {
    uint32_t baud;
    tcflag_t code;
};
constexpr SpeedCode kSpeedCodes[] = {
    {110, B110},   {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},     {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

tcflag_t SpeedCodeFor(uint32_t baud)
{
    for (const auto &entry : kSpeedCodes)
        if (entry.baud == baud)
            return entry.code;
    return BOTHER;
}

tcflag_t CharSizeFor(int dataBits)
{
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

constexpr int kParityOdd = 1;
constexpr int kParityEven = 2;
constexpr int kParityMark = 3;
constexpr int kParitySpace = 4;
constexpr int kStopOneAndHalf = 1;
constexpr int kStopTwo = 2;

}  // namespace

bool ApplyLineSettingsTermios2(int fd, const LineSettings &s)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;

    // Raw binary line: no input translation, no parity check on receive,
    // no output processing, no echo or line editing. A break (an RS-485 bus
    // left floating at turnaround) is dropped rather than read as a 0x00 byte.
    tio.c_iflag = IGNBRK;
    if (s.xonXoff)
        tio.c_iflag |= IXON | IXOFF;
    tio.c_oflag = 0;
    tio.c_lflag = 0;

    tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    tio.c_cflag |= CREAD | CLOCAL;
    // Whether the last close drops DTR and RTS is the port's own setting, left by
    // whoever used it before (stty -hupcl); say it every time.
    if (s.hangUpOnClose)
        tio.c_cflag |= HUPCL;
    // Input speed bits stay cleared, so the input speed follows the output speed.
    tio.c_cflag |= SpeedCodeFor(s.baud);
    tio.c_ispeed = s.baud;
    tio.c_ospeed = s.baud;
    tio.c_cflag |= CharSizeFor(s.dataBits);

    switch (s.parity) {
    case kParityOdd:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case kParityEven:
        tio.c_cflag |= PARENB;
        break;
    case kParityMark:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case kParitySpace:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }

    // Linux knows no one and a half stop bits; two is the nearest the UART can do.
    if (s.stopBits == kStopTwo || s.stopBits == kStopOneAndHalf)
        tio.c_cflag |= CSTOPB;
    if (s.rtsCts)
        tio.c_cflag |= CRTSCTS;

    // A read returns at once with whatever the driver holds.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = s.xonChar;
    tio.c_cc[VSTOP] = s.xoffChar;

    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool ReadLineSettingsTermios2(int fd, LineReadback &out)
{
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    out.ospeed = tio.c_ospeed;
    out.ispeed = tio.c_ispeed;
    out.cstopb = (tio.c_cflag & CSTOPB) != 0;
    out.parenb = (tio.c_cflag & PARENB) != 0;
    out.parodd = (tio.c_cflag & PARODD) != 0;
    out.cmspar = (tio.c_cflag & CMSPAR) != 0;
    out.crtscts = (tio.c_cflag & CRTSCTS) != 0;
    out.hupcl = (tio.c_cflag & HUPCL) != 0;
    out.ixon = (tio.c_iflag & IXON) != 0;
    out.ixoff = (tio.c_iflag & IXOFF) != 0;
    out.inpck = (tio.c_iflag & INPCK) != 0;
    out.ignbrk = (tio.c_iflag & IGNBRK) != 0;
    out.icanon = (tio.c_lflag & ICANON) != 0;
    out.echo = (tio.c_lflag & ECHO) != 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        out.csize = 5;
        break;
    case CS6:
        out.csize = 6;
        break;
    case CS7:
        out.csize = 7;
        break;
    default:
        out.csize = 8;
        break;
    }
    out.vmin = tio.c_cc[VMIN];
    out.vtime = tio.c_cc[VTIME];
    return true;
}
