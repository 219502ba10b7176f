#pragma once
// The two line formats the tool talks in, and the one way its ports are opened
// with one. Whoever opens tells the user about a failure in its own words.
#include "serial/QRT_ComDrv.h"

struct LineFormat {
    TComPortBaudRate speed;
    TComPortDataBits dataBits;
    TComPortParity parity;
    TComPortStopBits stopBits;
};

// The Modbus link to the module (direct or through the PLC gateway): 57600 8E1.
inline constexpr LineFormat kModbusLine{br57600, db8BITS, ptEVEN, sb1BITS};
// The chip's serial bootloader, for the firmware update: 115200 8E1.
inline constexpr LineFormat kBootloaderLine{br115200, db8BITS, ptEVEN, sb1BITS};

// Sets `line` on the driver, empties its receive buffer and opens the port it
// names (ComPort, or DevicePath when set). False when the port cannot be opened:
// missing, held by another program, or not a serial device.
bool OpenWithLine(TQRTCommDriver &driver, const LineFormat &line);
