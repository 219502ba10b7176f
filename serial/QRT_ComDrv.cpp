#include "serial/QRT_ComDrv.h"

#include "serial/Clock.h"
#include "serial/PortNames.h"
#include <algorithm>

TQRTCommDriver::TQRTCommDriver(QObject *owner, std::unique_ptr<SerialPort> platform)
    : QObject(owner), port_(platform ? std::move(platform) : CreateSerialPort()), pollingTimer_(this),
      ownerReadFresh_(this), chunkBuffer_(kDefaultInBufSize)
{
    pollingTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pollingTimer_, &QTimer::timeout, this, &TQRTCommDriver::OnPollingTick);
    ownerReadFresh_.setSingleShot(true);
    connect(&ownerReadFresh_, &QTimer::timeout, this, &TQRTCommDriver::Watch);
}

TQRTCommDriver::~TQRTCommDriver()
{
    Close();
}

namespace {
std::string NameOf(TComPortNumber port)
{
    return std::string("COM") + static_cast<char>('1' + static_cast<int>(port));
}
}  // namespace

std::string TQRTCommDriver::PortName() const
{
    return NameOf(comPort_);
}

DeviceKind TQRTCommDriver::PortDeviceKind(TComPortNumber port) const
{
    return port_->deviceKind(ResolveComPort(NameOf(port)));
}

void TQRTCommDriver::SetDevicePath(const std::string &path)
{
    if (!IsOpen())
        devicePath_ = path;
}

std::string TQRTCommDriver::DeviceName() const
{
    return devicePath_.empty() ? ResolveComPort(PortName()) : devicePath_;
}

bool TQRTCommDriver::Open()
{
    if (IsOpen())
        return true;
    lost_ = false;
    modemLinesRefused_ = false;
    fault_ = PortFault::None;
    errorNumber_ = 0;
    if (!port_->open(DeviceName())) {
        fault_ = port_->fault();
        errorNumber_ = port_->errorNumber();
        return false;
    }
    // The kernel raised DTR and RTS at the open (on an inverting adapter: left
    // both lines inactive). On the module's adapter DTR holds reset and RTS the
    // boot pin: the boot pin goes low first, while reset still holds.
    ReleaseModemLines();
    if (!Configure()) {
        // The line would carry other bytes than the module expects: no port at all
        // is the honest answer.
        fault_ = port_->fault();
        errorNumber_ = port_->errorNumber();
        port_->close();
        return false;
    }
    port_->requestLowLatency();
    pollingTimer_.start(PollingInterval());
    // Beside the timer, take bytes as soon as they arrive: a reply is then in
    // RxBuffer without waiting for the next poll.
    if (port_->nativeHandle() >= 0) {
        readable_ = new QSocketNotifier(port_->nativeHandle(), QSocketNotifier::Read, this);
        connect(readable_, &QSocketNotifier::activated, this, &TQRTCommDriver::OnReadable);
    }
    ++openCount_;
    return true;
}

void TQRTCommDriver::SetLinesInverted(bool inverted)
{
    if (!IsOpen())
        linesInverted_ = inverted;
}

void TQRTCommDriver::ReleaseModemLines()
{
    // A refusal here is a pty or a 3-wire adapter: nothing to release.
    port_->setRts(LineBit(false));
    port_->setDtr(LineBit(false));
}

void TQRTCommDriver::Close()
{
    lost_ = false;
    CloseDevice();
}

void TQRTCommDriver::Release()
{
    CloseDevice();
    lost_ = true;
    fault_ = PortFault::Removed;
    emit Lost();
}

void TQRTCommDriver::CloseDevice()
{
    if (!IsOpen())
        return;
    pollingTimer_.stop();
    ownerReadFresh_.stop();
    // A receiver of OnReceiveData may close the port from inside the notifier's
    // own signal: stop it now, delete it once that signal has returned.
    if (readable_) {
        readable_->setEnabled(false);
        readable_->deleteLater();
        readable_ = nullptr;
    }
    // Without HUPCL an inverting adapter's lines stay as they are: inactive.
    if (linesInverted_)
        ReleaseModemLines();
    port_->close();
}

bool TQRTCommDriver::IsOpen() const
{
    return port_->isOpen();
}

void TQRTCommDriver::ApplySettings()
{
    Configure();
}

bool TQRTCommDriver::Configure()
{
    if (!IsOpen())
        return false;
    LineSettings s;
    s.baud = kBaudTable[speed_];
    s.dataBits = static_cast<int>(dataBits_) + 5;
    s.parity = static_cast<int>(parity_);
    s.stopBits = static_cast<int>(stopBits_);
    s.rtsCts = hwHandshaking_ == hhRTSCTS;
    s.xonXoff = swHandshaking_ == shXONXOFF;
    s.dtrOn = enableDtrOnOpen_;
    s.xonChar = kXonChar;
    s.xoffChar = kXoffChar;
    // HUPCL clears both bits at the last close: on an inverting adapter that
    // asserts both lines, holding the module in reset.
    s.hangUpOnClose = !linesInverted_;
    const bool ok = port_->applySettings(s);
    // The settings fix the modem lines: DTR as asked, RTS inactive unless the
    // hardware handshake owns it; two lines dropped go in one request.
    if (linesInverted_) {
        if (!s.rtsCts)
            port_->setRts(LineBit(false));
        port_->setDtr(LineBit(s.dtrOn));
    } else if (!s.dtrOn && !s.rtsCts) {
        port_->dropModemLines(kLineDtr | kLineRts);
    } else {
        if (!s.rtsCts)
            port_->setRts(false);
        if (s.dtrOn)
            port_->setDtr(true);
        else
            port_->dropModemLines(kLineDtr);
    }
    PurgeBuffers(true, true);
    // Queue sizes are the driver's own on Linux; ComPortOutBufSize only shapes OutFreeSpace.
    return ok;
}

void TQRTCommDriver::PurgeBuffers(bool input, bool output)
{
    if (!IsOpen())
        return;
    port_->purge(input, output);
}

uint16_t TQRTCommDriver::OutFreeSpace()
{
    if (!IsOpen())
        return kFreeSpaceWhenClosed;
    uint32_t queued = 0;
    // When the queue cannot be told, report it empty: the write that follows
    // fails on its own and ends the send.
    if (!port_->outputQueue(queued))
        return outBufSize_;
    return static_cast<uint16_t>(outBufSize_ - static_cast<uint16_t>(queued));
}

int32_t TQRTCommDriver::SendData(const uint8_t *data, int32_t count)
{
    const int32_t result = Send(data, count);
    if (tap_ && data != nullptr && count > 0)
        tap_->Sent(data, count, result);
    return result;
}

int32_t TQRTCommDriver::Send(const uint8_t *data, int32_t count)
{
    if (data == nullptr || count <= 0)
        return 0;
    if (!IsOpen())
        return lost_ ? kSendDeviceGone : 0;
    int32_t sent = 0;
    uint32_t lastProgress = GetTickCount();
    while (sent < count) {
        if (OutFreeSpace() != 0) {
            // The platform write waits by itself. Hand it only what is left of the
            // allowance, so a line that takes nothing costs one OutputTimeout, not two.
            const uint32_t before = GetTickCount();
            const uint32_t waited = before - lastProgress;
            const uint32_t left = waited < outputTimeout_ ? outputTimeout_ - waited : 0;
            const int n = port_->write(data + sent, count - sent, left);
            if (n < 0) {
                // The device failed hard; if it hung up, let it go at once.
                if (!port_->hungUp())
                    return -sent;
                Release();
                return sent > 0 ? -sent : kSendDeviceGone;
            }
            sent += n;
            if (sent == count)
                break;
            // Short after waiting out the whole allowance: the line has taken
            // nothing for OutputTimeout.
            if (left > 0 && GetTickCount() - before >= left)
                return -sent;
            if (n > 0) {
                lastProgress = GetTickCount();
                continue;
            }
        }
        // No room, or a write that took nothing at once: give up once the queue
        // has made no progress for longer than OutputTimeout.
        if (GetTickCount() - lastProgress > outputTimeout_)
            return -sent;
        SleepMs(1);
    }
    return sent;
}

void TQRTCommDriver::SetDtr(bool on)
{
    if (IsOpen() && !port_->setDtr(LineBit(on)))
        modemLinesRefused_ = true;
}

void TQRTCommDriver::SetRts(bool on)
{
    if (IsOpen() && !port_->setRts(LineBit(on)))
        modemLinesRefused_ = true;
}

int TQRTCommDriver::PollingInterval() const
{
    // A 0 ms timer would fire on every pass of the event loop and spin the GUI thread.
    return std::max<int>(pollingDelay_, kMinPollingIntervalMs);
}

void TQRTCommDriver::PollReceive()
{
    Receive();
    if (ownerReadInterval_ == 0 || !IsOpen())
        return;
    // The owner reads the line itself: until its next read is overdue, arriving
    // bytes can wait for it.
    Unwatch();
    ownerReadFresh_.start(ownerReadInterval_);
}

void TQRTCommDriver::SetOwnerReadInterval(uint16_t ms)
{
    ownerReadInterval_ = ms;
    if (ms == 0 && ownerReadFresh_.isActive()) {
        ownerReadFresh_.stop();
        Watch();
    }
}

void TQRTCommDriver::Watch()
{
    if (!IsOpen())
        return;
    // On a line that has hung up, the first readable report hands it back to the timer.
    if (readable_)
        readable_->setEnabled(true);
    pollingTimer_.start(PollingInterval());
}

void TQRTCommDriver::Unwatch()
{
    if (readable_ && readable_->isEnabled())
        readable_->setEnabled(false);
    pollingTimer_.stop();
}

void TQRTCommDriver::OnPollingTick()
{
    // While the port is watched for readability, arriving bytes wake us by
    // themselves: the first tick that finds the line quiet stops the timer, so
    // an open but silent port costs no wake-ups at all.
    if (Receive() <= 0 && WatchingReadable())
        pollingTimer_.stop();
}

void TQRTCommDriver::OnReadable()
{
    // A line that hung up (a pty whose far end closed, an unplugged adapter)
    // reports readable for ever with nothing to read. Leave it to the polling
    // timer from here on, or the GUI thread would spin.
    if (Receive() <= 0 && readable_ && port_->hungUp()) {
        readable_->setEnabled(false);
        pollingTimer_.start();
    }
}

int TQRTCommDriver::Receive()
{
    if (!IsOpen())
        return 0;
    const int n = port_->read(chunkBuffer_.data(), static_cast<int>(chunkBuffer_.size()));
    if (n < 0 && port_->hungUp()) {
        // Unplugged: keeping the dead descriptor would keep the device's name taken,
        // and the adapter would come back under another one.
        Release();
        return 0;
    }
    if (n <= 0)
        return n;
    if (RxCount + n >= kRxBufferSize)
        RxCount = 0;
    // chunkBuffer_ never exceeds kRxBufferSize bytes, so the copy stays inside RxBuffer.
    std::copy_n(chunkBuffer_.data(), n, RxBuffer + RxCount);
    RxCount = static_cast<uint16_t>(RxCount + n);
    if (tap_)
        tap_->Received(chunkBuffer_.data(), n);
    if (onReceiveData_)
        onReceiveData_(this, chunkBuffer_.data(), n);
    return n;
}

void TQRTCommDriver::SetComPort(TComPortNumber value)
{
    if (!IsOpen())
        comPort_ = value;
}

void TQRTCommDriver::ApplyIfOpen()
{
    if (IsOpen())
        ApplySettings();
}

void TQRTCommDriver::SetComPortSpeed(TComPortBaudRate value)
{
    speed_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortDataBits(TComPortDataBits value)
{
    dataBits_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortStopBits(TComPortStopBits value)
{
    stopBits_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortParity(TComPortParity value)
{
    parity_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortHwHandshaking(TComPortHwHandshaking value)
{
    hwHandshaking_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortSwHandshaking(TComPortSwHandshaking value)
{
    swHandshaking_ = value;
    ApplyIfOpen();
}

void TQRTCommDriver::SetComPortInBufSize(uint16_t value)
{
    // Each read fills at most one chunk; above RxBuffer's size one chunk could overrun it.
    if (IsOpen() || value > kRxBufferSize)
        return;
    inBufSize_ = value;
    chunkBuffer_.assign(value, 0);
}

void TQRTCommDriver::SetComPortOutBufSize(uint16_t value)
{
    if (!IsOpen())
        outBufSize_ = value;
}

void TQRTCommDriver::SetComPortPollingDelay(uint16_t value)
{
    if (value == pollingDelay_)
        return;
    pollingDelay_ = value;
    if (TakingOnArrival())
        pollingTimer_.start(PollingInterval());
}
