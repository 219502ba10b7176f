#pragma once
#include <cstdint>
#include <memory>
#include <string>

// Line format as the platform layer needs it: plain numbers, no component enums.
struct LineSettings {
    uint32_t baud = 9600;
    int dataBits = 8;       // 5 ... 8
    int parity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;       // 0 one, 1 one and a half, 2 two
    bool rtsCts = false;
    bool xonXoff = false;
    bool dtrOn = false;     // DTR level the settings leave behind
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;
};

// What a device path names, as far as writing firmware is concerned. Told from
// the path alone, without opening it: opening a real port raises DTR and RTS,
// which on the module's adapter may already reset it.
enum class DeviceKind {
    Absent,          // nothing there, or no character device
    PseudoTerminal,  // a pty: the simulated module, a test, a socat link
    SerialDevice,    // any other character device: a UART, a USB or CDC-ACM adapter
};

// Follows links, so a port directory of links is judged by what the links name.
DeviceKind ClassifyDevice(const std::string &path);

// The narrow interface between the serial component and the operating system.
// One implementation drives a termios tty; tests substitute a recording double.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the device exclusively. False when it is missing, not a tty or held elsewhere.
    virtual bool open(const std::string &path) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    virtual bool applySettings(const LineSettings &settings) = 0;
    virtual void purge(bool input, bool output) = 0;

    // Bytes still waiting in the driver's output queue; false if it cannot be told.
    virtual bool outputQueue(uint32_t &count) = 0;

    // Returns at once with what has arrived: >0 bytes, 0 nothing (also after a hang-up), <0 error.
    virtual int read(uint8_t *buffer, int size) = 0;

    // Blocks until the driver has taken all bytes or no progress was possible for
    // timeoutMs. Returns the bytes taken (maybe fewer than size), or -1 when the
    // device failed hard (gone, hung up) before taking anything.
    virtual int write(const uint8_t *data, int size, uint32_t timeoutMs) = 0;

    // Modem lines. Failures (a pty has none) are not reported.
    virtual void setDtr(bool on) = 0;
    virtual void setRts(bool on) = 0;

    // How the device at path counts; test doubles stand in for the file system here.
    virtual DeviceKind deviceKind(const std::string &path) const { return ClassifyDevice(path); }

    // File descriptor to watch for readability, or -1.
    virtual int nativeHandle() const { return -1; }
    // True when the far end is gone: the handle then reports readable for ever.
    virtual bool hungUp() const { return false; }
};

std::unique_ptr<SerialPort> CreatePosixSerialPort();
