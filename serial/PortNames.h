#pragma once
#include <algorithm>
#include <string>

// The ports COM1 ... COM8; a port list shows them as entries 0 ... 7.
enum TComPortNumber { pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8 };
inline constexpr int kComPortCount = 8;

// The port of port-list entry `index`; an index outside the list (no entry
// selected) gives the nearest end, so the open and every report of it name the
// same port.
constexpr TComPortNumber ComPortOfIndex(int index)
{
    return static_cast<TComPortNumber>(std::clamp(index, 0, kComPortCount - 1));
}

// Environment variable naming a directory that holds links COM1 ... COM8.
// When set, it is the only place a COM name is looked up.
inline constexpr const char *kPortDirEnv = "TALVEX_PORT_DIR";

// Maps "COM1" ... "COM8" to a device path. Without TALVEX_PORT_DIR the slots are
// fixed: COM1/COM2 the on-board UARTs, COM3-COM6 USB adapters, COM7/COM8 CDC-ACM.
// Returns an empty string for a name that is not "COM" plus a digit 1 to 8.
std::string ResolveComPort(const std::string &name, const char *portDir);

// Same, reading TALVEX_PORT_DIR from the environment.
std::string ResolveComPort(const std::string &name);
