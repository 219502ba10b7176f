#pragma once
#include "serial/SerialPort.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// DTR and RTS after a change, as the far end sees them (true: active), and what changed them.
struct LineLevels {
    bool dtr = false;
    bool rts = false;
    std::string cause;  // "open", "close", "dtr:0", "drop:dtr,rts", or a test's note
};

// Records every call the component makes on its platform layer, and plays back
// scripted reads and write results. It behaves on the modem lines as Linux does
// on a real port (a pty cannot show them): open sets the DTR and RTS bits while
// the port's speed is not 0, close clears them only when the settings asked for
// it (HUPCL). Behind an inverting adapter a set bit is an inactive line.
struct FakeSerialState {
    std::vector<std::string> calls;  // "open:PATH", "apply", "purge:1,1", "dtr:1", "drop:dtr,rts", ...
    std::vector<LineSettings> applied;
    std::vector<uint8_t> written;
    std::deque<std::vector<uint8_t>> reads;  // chunks handed out one per read()
    std::deque<int> writeResults;            // forced results; empty = take everything
    int readFailures = 0;                    // reads that report an error first
    int lastReadSize = -1;
    bool openFails = false;
    bool queueQueryFails = false;
    uint32_t queued = 0;
    bool open = false;
    // How device paths count; every path not listed is a pseudo-terminal, as in
    // the tests over ptys.
    std::map<std::string, DeviceKind> devices;

    // The port as the kernel holds it between opens: its speed (0 is B0, the one
    // speed at which open leaves the lines alone) and its hang-up-on-close flag,
    // as whoever used the port last left them (stty -hupcl clears it).
    uint32_t portSpeed = 9600;
    bool hupcl = true;
    // The modem-control bits now, and every change of the lines in order.
    bool dtr = false;
    bool rts = false;
    std::vector<LineLevels> lineLog;
    // The adapter's stages invert both lines: a set bit is an inactive line.
    bool inverted = false;
    bool dtrActive() const { return dtr != inverted; }
    bool rtsActive() const { return rts != inverted; }

    PortFault openFault = PortFault::Busy;  // why a failing open fails
    bool modemLinesFail = false;            // no DTR/RTS: a pty, a 3-wire adapter (ENOTTY)
    bool settingsRefused = false;           // the settings call fails
    bool settingsNotKept = false;           // ... or reads back other than asked
    bool serialIoctlFails = false;          // TIOCGSERIAL gives ENOTTY, as on a pty
    bool lowLatency = false;                // the adapter's latency flag now
    bool hungUp = false;                    // the far end is gone: reads and writes fail

    // The far end of the line, when a test puts one there: it hears every byte
    // written, and what it answers is there for the next reads.
    std::function<std::vector<uint8_t>(const uint8_t *data, int size)> peer;
    // Told after every change of DTR or RTS (a module's reset and boot pins).
    std::function<void()> linesChanged;

    void note(const std::string &what) { lineLog.push_back({dtrActive(), rtsActive(), what}); }
    void lines(bool newDtr, bool newRts, const std::string &cause)
    {
        if (newDtr == dtr && newRts == rts)
            return;
        dtr = newDtr;
        rts = newRts;
        note(cause);
        if (linesChanged)
            linesChanged();
    }
};

class FakeSerialPort final : public SerialPort {
public:
    explicit FakeSerialPort(FakeSerialState &state) : s_(state) {}

    bool open(const std::string &path) override
    {
        s_.calls.push_back("open:" + path);
        s_.open = !s_.openFails;
        if (s_.open && s_.portSpeed != 0)
            s_.lines(true, true, "open");
        return s_.open;
    }
    void close() override
    {
        s_.calls.push_back("close");
        if (savedLatency_) {
            s_.lowLatency = latencyBefore_;
            savedLatency_ = false;
        }
        s_.open = false;
        if (s_.hupcl)
            s_.lines(false, false, "close");
        s_.note("closed");
    }
    bool isOpen() const override { return s_.open; }
    bool applySettings(const LineSettings &settings) override
    {
        s_.calls.push_back("apply");
        s_.applied.push_back(settings);
        if (s_.settingsRefused)
            return false;
        s_.portSpeed = settings.baud;
        s_.hupcl = settings.hangUpOnClose;
        return !s_.settingsNotKept;
    }
    PortFault fault() const override
    {
        if (s_.hungUp)
            return PortFault::Removed;
        if (!s_.open)
            return s_.openFault;
        if (s_.settingsRefused)
            return PortFault::SettingsRefused;
        return s_.settingsNotKept ? PortFault::SettingsNotKept : PortFault::None;
    }
    bool hungUp() const override { return s_.open && s_.hungUp; }
    void requestLowLatency() override
    {
        s_.calls.push_back("lowlatency");
        if (s_.serialIoctlFails || savedLatency_)
            return;
        latencyBefore_ = s_.lowLatency;
        savedLatency_ = true;
        s_.lowLatency = true;
    }
    void purge(bool input, bool output) override
    {
        s_.calls.push_back(std::string("purge:") + (input ? "1" : "0") + "," + (output ? "1" : "0"));
    }
    bool outputQueue(uint32_t &count) override
    {
        if (s_.queueQueryFails)
            return false;
        count = s_.queued;
        return true;
    }
    int read(uint8_t *buffer, int size) override
    {
        s_.lastReadSize = size;
        if (s_.hungUp)
            return -1;
        if (s_.readFailures > 0) {
            --s_.readFailures;
            return -1;
        }
        if (s_.reads.empty())
            return 0;
        std::vector<uint8_t> chunk = std::move(s_.reads.front());
        s_.reads.pop_front();
        const int n = std::min<int>(size, static_cast<int>(chunk.size()));
        std::copy_n(chunk.begin(), n, buffer);
        return n;
    }
    int write(const uint8_t *data, int size, uint32_t) override
    {
        s_.calls.push_back("write:" + std::to_string(size));
        if (s_.hungUp)
            return -1;
        int n = size;
        if (!s_.writeResults.empty()) {
            // A port never takes more than it is given.
            n = std::min(s_.writeResults.front(), size);
            s_.writeResults.pop_front();
        }
        if (n > 0)
            s_.written.insert(s_.written.end(), data, data + n);
        if (n > 0 && s_.peer) {
            std::vector<uint8_t> answer = s_.peer(data, n);
            if (!answer.empty())
                s_.reads.push_back(std::move(answer));
        }
        return n;
    }
    DeviceKind deviceKind(const std::string &path) const override
    {
        const auto it = s_.devices.find(path);
        return it == s_.devices.end() ? DeviceKind::PseudoTerminal : it->second;
    }
    bool setDtr(bool on) override
    {
        const std::string call = std::string("dtr:") + (on ? "1" : "0");
        s_.calls.push_back(call);
        if (s_.modemLinesFail)
            return false;
        s_.lines(on, s_.rts, call);
        return true;
    }
    bool setRts(bool on) override
    {
        const std::string call = std::string("rts:") + (on ? "1" : "0");
        s_.calls.push_back(call);
        if (s_.modemLinesFail)
            return false;
        s_.lines(s_.dtr, on, call);
        return true;
    }
    bool dropModemLines(unsigned which) override
    {
        const std::string call = std::string("drop:") + ((which & kLineDtr) ? "dtr" : "") +
                                 ((which & kLineDtr) && (which & kLineRts) ? "," : "") +
                                 ((which & kLineRts) ? "rts" : "");
        s_.calls.push_back(call);
        if (s_.modemLinesFail)
            return false;
        s_.lines(s_.dtr && !(which & kLineDtr), s_.rts && !(which & kLineRts), call);
        return true;
    }

private:
    FakeSerialState &s_;
    bool savedLatency_ = false;
    bool latencyBefore_ = false;
};
