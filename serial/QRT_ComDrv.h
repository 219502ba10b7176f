#pragma once
#include "serial/LineTap.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

enum TComPortBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200
};
enum TComPortDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
// Ordinals are the platform codes for one, one and a half and two stop bits.
enum TComPortStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
// Ordinals are the platform codes for none, odd, even, mark and space.
enum TComPortParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking { hhNONE, hhRTSCTS };
enum TComPortSwHandshaking { shNONE, shXONXOFF };

inline constexpr uint32_t kBaudTable[13] = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200,
};

// The ordinals are codes in their own right: the platform takes the stop-bit and
// parity ordinals as they are, and a speed's ordinal indexes kBaudTable.
static_assert(sb1BITS == 0 && sb1HALFBITS == 1 && sb2BITS == 2);
static_assert(ptNONE == 0 && ptODD == 1 && ptEVEN == 2 && ptMARK == 3 && ptSPACE == 4);
static_assert(br14400 == 7 && br56000 == 10 && br115200 == 12);
static_assert(std::size(kBaudTable) == br115200 + 1);
static_assert(kBaudTable[br14400] == 14400 && kBaudTable[br56000] == 56000 && kBaudTable[br57600] == 57600 &&
              kBaudTable[br115200] == 115200);

class TQRTCommDriver;
using TComPortReceiveDataEvent = std::function<void(TQRTCommDriver *Sender, const uint8_t *DataPtr, int32_t DataSize)>;

// Owns one serial port: opens it with a line format, sends blocks with an output
// time-out, and polls it on a timer, appending what arrives to RxBuffer. The
// protocol layers read RxBuffer/RxCount directly and empty it by zeroing RxCount.
class TQRTCommDriver : public QObject {
    Q_OBJECT
public:
    static constexpr int kRxBufferSize = 1024;
    static constexpr uint16_t kDefaultInBufSize = 1024;
    static constexpr uint16_t kDefaultOutBufSize = 512;
    static constexpr uint16_t kDefaultPollingDelayMs = 5;
    static constexpr uint16_t kMinPollingIntervalMs = 1;  // a ComPortPollingDelay of 0 polls this often
    static constexpr uint16_t kDefaultOutputTimeoutMs = 4000;
    static constexpr uint16_t kFreeSpaceWhenClosed = 65535;
    static constexpr uint8_t kXonChar = 0x11;
    static constexpr uint8_t kXoffChar = 0x13;
    // What SendData returns once the device has gone away with nothing sent.
    static constexpr int32_t kSendDeviceGone = -1;

    // platform: the port implementation; the termios one when none is given.
    explicit TQRTCommDriver(QObject *owner = nullptr, std::unique_ptr<SerialPort> platform = {});
    ~TQRTCommDriver() override;

    bool Open();
    void Close();
    // Why the last Open failed, or that the device went away while open (Removed).
    PortFault LastFault() const { return fault_; }
    int LastErrorNumber() const { return errorNumber_; }
    // The device hung up while open (an adapter pulled out): it has been released,
    // IsOpen is false and SendData reports a failure until the next Open or Close.
    bool DeviceLost() const { return lost_; }
    // A SetDtr or SetRts since the last Open that the device refused (a pty, an
    // adapter without those lines).
    bool ModemLinesRefused() const { return modemLinesRefused_; }
    bool IsOpen() const;
    void ApplySettings();
    void PurgeBuffers(bool input, bool output);
    uint16_t OutFreeSpace();
    int32_t SendData(const uint8_t *data, int32_t count);
    // Whether the line is active (on the module's adapter: DTR holds reset, RTS
    // the boot pin), whatever the adapter's polarity.
    void SetDtr(bool on);
    void SetRts(bool on);
    // Adapters whose transistor stages invert DTR and RTS: there a set bit is an
    // inactive line. Open, the settings, SetDtr/SetRts and Close all follow it:
    // such a port is opened and closed with both bits set and without HUPCL
    // (which would clear them, holding the module in reset). Taken only while closed.
    bool LinesInverted() const { return linesInverted_; }
    void SetLinesInverted(bool inverted);
    void PollReceive();

    // Published properties.
    TComPortNumber ComPort() const { return comPort_; }
    void SetComPort(TComPortNumber value);
    TComPortBaudRate ComPortSpeed() const { return speed_; }
    void SetComPortSpeed(TComPortBaudRate value);
    TComPortDataBits ComPortDataBits() const { return dataBits_; }
    void SetComPortDataBits(TComPortDataBits value);
    TComPortStopBits ComPortStopBits() const { return stopBits_; }
    void SetComPortStopBits(TComPortStopBits value);
    TComPortParity ComPortParity() const { return parity_; }
    void SetComPortParity(TComPortParity value);
    TComPortHwHandshaking ComPortHwHandshaking() const { return hwHandshaking_; }
    void SetComPortHwHandshaking(TComPortHwHandshaking value);
    TComPortSwHandshaking ComPortSwHandshaking() const { return swHandshaking_; }
    void SetComPortSwHandshaking(TComPortSwHandshaking value);
    uint16_t ComPortInBufSize() const { return inBufSize_; }
    void SetComPortInBufSize(uint16_t value);
    uint16_t ComPortOutBufSize() const { return outBufSize_; }
    void SetComPortOutBufSize(uint16_t value);
    uint16_t ComPortPollingDelay() const { return pollingDelay_; }
    void SetComPortPollingDelay(uint16_t value);
    bool EnableDTROnOpen() const { return enableDtrOnOpen_; }
    void SetEnableDTROnOpen(bool value) { enableDtrOnOpen_ = value; }
    uint16_t OutputTimeout() const { return outputTimeout_; }
    void SetOutputTimeout(uint16_t value) { outputTimeout_ = value; }
    const TComPortReceiveDataEvent &OnReceiveData() const { return onReceiveData_; }
    // Who hears every send and every chunk received (the trace); nullptr, the
    // default, for nobody. The tap must outlive its place here.
    LineTap *Tap() const { return tap_; }
    void SetTap(LineTap *tap) { tap_ = tap; }
    void SetOnReceiveData(TComPortReceiveDataEvent handler) { onReceiveData_ = std::move(handler); }

    // "COM" plus one digit, from ComPort.
    std::string PortName() const;
    // A device opened instead of the COM name (for a caller that names a path, such
    // as a command line); empty resolves ComPort. Like ComPort, taken only while closed.
    const std::string &DevicePath() const { return devicePath_; }
    void SetDevicePath(const std::string &path);
    // What the next Open opens: the device path, or ComPort resolved.
    std::string DeviceName() const;
    // How the platform counts the device that `port` names, resolved as Open resolves it.
    DeviceKind PortDeviceKind(TComPortNumber port) const;
    // The polling timer, exposed so tests can see when it runs. While the port is
    // watched for readability it stops at its first tick on a quiet line.
    const QTimer &PollingTimer() const { return pollingTimer_; }
    // Whether bytes are also taken the moment the port becomes readable.
    bool WatchingReadable() const { return readable_ && readable_->isEnabled(); }
    // The longest the owner lets pass between reads of its own (PollReceive); 0,
    // the default, for an owner that relies on the driver. While such reads keep
    // coming, the driver neither watches nor polls the line: arriving bytes wait
    // in it for the owner's next read, and a busy line wakes nobody but the owner.
    // Once a read is overdue, the driver takes bytes by itself again until the next.
    uint16_t OwnerReadInterval() const { return ownerReadInterval_; }
    void SetOwnerReadInterval(uint16_t ms);
    // Whether the driver takes bytes by itself now (open, and no owner's read fresh).
    bool TakingOnArrival() const { return IsOpen() && !ownerReadFresh_.isActive(); }
    // How many times the port has been opened: what a protocol layer learns about
    // the line behind the port (an adapter that echoes) holds for one opening.
    uint32_t OpenCount() const { return openCount_; }

    uint8_t RxBuffer[kRxBufferSize] = {};
    uint16_t RxCount = 0;

signals:
    // The device hung up and was released; emitted once, from inside a read or a send.
    void Lost();

private:
    bool Configure();
    // Both lines inactive, the boot pin (RTS) before reset (DTR): whatever the
    // board's RC, the chip then samples its boot pin low when it leaves reset.
    void ReleaseModemLines();
    // The bit that makes a line active (on) or inactive.
    bool LineBit(bool on) const { return on != linesInverted_; }
    void CloseDevice();
    void Release();
    void ApplyIfOpen();
    int PollingInterval() const;
    int Receive();
    int32_t Send(const uint8_t *data, int32_t count);
    void OnPollingTick();
    void OnReadable();
    void Watch();
    void Unwatch();

    std::unique_ptr<SerialPort> port_;
    QTimer pollingTimer_;
    // Runs for OwnerReadInterval after each of the owner's reads; the line is
    // watched again when it runs out.
    QTimer ownerReadFresh_;
    // A child of this component; Close may run inside its own signal, so it is deleted later.
    QSocketNotifier *readable_ = nullptr;
    std::vector<uint8_t> chunkBuffer_;

    TComPortNumber comPort_ = pnCOM1;
    std::string devicePath_;
    TComPortBaudRate speed_ = br9600;
    TComPortDataBits dataBits_ = db8BITS;
    TComPortStopBits stopBits_ = sb1BITS;
    TComPortParity parity_ = ptNONE;
    TComPortHwHandshaking hwHandshaking_ = hhNONE;
    TComPortSwHandshaking swHandshaking_ = shNONE;
    uint16_t inBufSize_ = kDefaultInBufSize;
    uint16_t outBufSize_ = kDefaultOutBufSize;
    uint16_t pollingDelay_ = kDefaultPollingDelayMs;
    bool enableDtrOnOpen_ = false;
    bool linesInverted_ = false;
    uint16_t ownerReadInterval_ = 0;
    uint32_t openCount_ = 0;
    uint16_t outputTimeout_ = kDefaultOutputTimeoutMs;
    TComPortReceiveDataEvent onReceiveData_;
    LineTap *tap_ = nullptr;
    PortFault fault_ = PortFault::None;
    int errorNumber_ = 0;
    bool lost_ = false;
    bool modemLinesRefused_ = false;
};
