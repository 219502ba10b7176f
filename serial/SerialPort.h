#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Line format as the platform layer needs it: plain numbers, no component enums.
struct LineSettings {
    uint32_t baud = 9600;
    int dataBits = 8;  // 5 ... 8
    int parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;  // 0 one, 1 one and a half, 2 two
    bool rtsCts = false;
    bool xonXoff = false;
    bool dtrOn = false;  // DTR level the settings leave behind
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
    // Clear DTR and RTS when the last holder closes the port (HUPCL). Without it a
    // module whose reset hangs on DTR stays in reset after the tool lets go; behind
    // an adapter that inverts the lines it is off, as clearing them asserts them.
    bool hangUpOnClose = true;
};

// Whether a driver kept what it was asked for, judged on what it reads back.
// A pseudo-terminal never keeps parity or the character size: only its speed
// and stop bits are compared.
bool SettingsKept(const LineSettings &asked, const LineSettings &readBack, bool pseudoTerminal);

// What a device path names, as far as writing firmware is concerned. Told from
// the path alone, without opening it: opening a real port raises DTR and RTS,
// which on the module's adapter may already reset it.
enum class DeviceKind {
    Absent,          // nothing there
    NotSerial,       // something that is no tty: a file, a folder, /dev/null
    PseudoTerminal,  // a pty: the simulated module, a test, a socat link
    SerialDevice,    // any other tty: a UART, a USB or CDC-ACM adapter
    // A virtual console or the controlling terminal (/dev/tty, /dev/console,
    // /dev/tty0 ...): a tty, but no adapter; setting a line on it would leave the
    // console in raw mode.
    Console,
};

// Follows links, so a port directory of links is judged by what the links name.
DeviceKind ClassifyDevice(const std::string &path);

// Why an operation on a port failed, so that whoever talks to the user can name
// the cause instead of guessing.
enum class PortFault {
    None,
    NotPresent,        // no such device (ENOENT, ENODEV, ENXIO)
    PermissionDenied,  // EACCES, EPERM: the user may not open it (group dialout)
    Busy,              // held by another program or by this one (EBUSY, or its lock is taken)
    NotSerialDevice,   // not a tty at all
    NotAnAdapter,      // a console or the controlling terminal: refused before anything is set
    DeviceError,       // EIO: no UART behind the name, or the device does not answer
    SettingsRefused,   // the driver refused the line settings
    SettingsNotKept,   // the driver took them but reads back others (speed, parity, ...)
    Removed,           // the line hung up: the adapter was pulled out
    Other,
};

// Modem-control lines, as bits for the calls that change several at once.
enum ModemLine : unsigned { kLineDtr = 1u, kLineRts = 2u };
// The narrow interface between the serial component and the operating system.
// One implementation drives a termios tty; tests substitute a recording double.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the device exclusively. False when it is missing, not a tty or held
    // elsewhere; fault() then says which. Linux raises DTR and RTS at every open
    // of a port whose speed is not 0; no flag stops it, so a port already held
    // (by this process, or by another through the lock named after its device
    // number) is refused before the open, not after.
    virtual bool open(const std::string &path) = 0;
    // Gives back what open() took over (the latency flags); the kernel drops DTR
    // and RTS here only when the settings asked for it (hangUpOnClose).
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // False when the driver refuses the settings or reads back others than asked
    // (fault() tells which). Leaves the modem lines to the caller.
    virtual bool applySettings(const LineSettings &settings) = 0;
    virtual void purge(bool input, bool output) = 0;

    // Bytes still waiting in the driver's output queue; false if it cannot be told.
    virtual bool outputQueue(uint32_t &count) = 0;

    // Returns at once with what has arrived: >0 bytes, 0 nothing, <0 error. After
    // a hang-up it is <0 and hungUp() is true.
    virtual int read(uint8_t *buffer, int size) = 0;

    // Blocks until the driver has taken all bytes or no progress was possible for
    // timeoutMs. Returns the bytes taken (maybe fewer than size), or -1 when the
    // device failed hard (gone, hung up) before taking anything.
    virtual int write(const uint8_t *data, int size, uint32_t timeoutMs) = 0;

    // Modem lines. False when the device has none or refused (a pty, a 3-wire adapter).
    virtual bool setDtr(bool on) = 0;
    virtual bool setRts(bool on) = 0;
    // Drops the lines in `lines` (ModemLine bits) in one request, so that no state
    // between the two is ever on the wire.
    virtual bool dropModemLines(unsigned lines) = 0;

    // Asks a USB adapter to hand over received bytes at once instead of holding
    // them for its latency timer. Best effort: devices without it are left alone.
    // close() puts the old setting back.
    virtual void requestLowLatency() {}

    // Why the last open, applySettings or read failed, and its errno (0 if none).
    virtual PortFault fault() const { return PortFault::None; }
    virtual int errorNumber() const { return 0; }

    // How the device at path counts; test doubles stand in for the file system here.
    virtual DeviceKind deviceKind(const std::string &path) const { return ClassifyDevice(path); }

    // File descriptor to watch for readability, or -1.
    virtual int nativeHandle() const { return -1; }
    // True when the far end is gone: the handle then reports readable for ever.
    virtual bool hungUp() const { return false; }
};

std::unique_ptr<SerialPort> CreatePosixSerialPort();

// The platform layer of a component made without one: the termios one, unless a
// maker has been set (a test standing a double in for every port the program opens).
using SerialPortMaker = std::function<std::unique_ptr<SerialPort>()>;
std::unique_ptr<SerialPort> CreateSerialPort();
// An empty maker puts the termios one back.
void SetSerialPortMaker(SerialPortMaker maker);
