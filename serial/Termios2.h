#pragma once
#include "serial/SerialPort.h"

// termios2 access lives in its own translation unit: <asm/termbits.h> and
// <termios.h> cannot be included together. Custom speeds (14400, 56000) need
// BOTHER, which only the termios2 ioctls carry.
bool ApplyLineSettingsTermios2(int fd, const LineSettings &settings);

// Reads back the live settings of a tty (speed in bits per second): what the
// driver took, for the port's own check, for tests and for the simulated module,
// which watches the line from the other side.
struct LineReadback {
    uint32_t ospeed = 0;
    uint32_t ispeed = 0;
    bool cstopb = false;
    bool parenb = false;
    bool parodd = false;
    bool cmspar = false;
    bool crtscts = false;
    bool hupcl = false;
    bool ixon = false;
    bool ixoff = false;
    bool inpck = false;
    bool ignbrk = false;
    bool icanon = false;
    bool echo = false;
    int csize = 8;
    unsigned vmin = 0;
    unsigned vtime = 0;
};
bool ReadLineSettingsTermios2(int fd, LineReadback &out);
