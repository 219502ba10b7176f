#pragma once
#include "SerialPort.h"

#include <algorithm>
#include <deque>
#include <map>
#include <string>
#include <vector>

// Records every call the component makes on its platform layer, and plays back
// scripted reads and write results. The pty cannot show modem lines; this can.
struct FakeSerialState {
    std::vector<std::string> calls;          // "open:PATH", "apply", "purge:1,1", "dtr:1", ...
    std::vector<LineSettings> applied;
    std::vector<uint8_t> written;
    std::deque<std::vector<uint8_t>> reads;   // chunks handed out one per read()
    std::deque<int> writeResults;             // forced results; empty = take everything
    int readFailures = 0;                     // reads that report an error first
    int lastReadSize = -1;
    bool openFails = false;
    bool queueQueryFails = false;
    uint32_t queued = 0;
    bool open = false;
    // How device paths count; every path not listed is a pseudo-terminal, as in
    // the tests over ptys.
    std::map<std::string, DeviceKind> devices;
};

class FakeSerialPort final : public SerialPort {
public:
    explicit FakeSerialPort(FakeSerialState &state) : s_(state) {}

    bool open(const std::string &path) override
    {
        s_.calls.push_back("open:" + path);
        s_.open = !s_.openFails;
        return s_.open;
    }
    void close() override
    {
        s_.calls.push_back("close");
        s_.open = false;
    }
    bool isOpen() const override { return s_.open; }
    bool applySettings(const LineSettings &settings) override
    {
        s_.calls.push_back("apply");
        s_.applied.push_back(settings);
        return true;
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
        int n = size;
        if (!s_.writeResults.empty()) {
            // A port never takes more than it is given.
            n = std::min(s_.writeResults.front(), size);
            s_.writeResults.pop_front();
        }
        if (n > 0)
            s_.written.insert(s_.written.end(), data, data + n);
        return n;
    }
    DeviceKind deviceKind(const std::string &path) const override
    {
        const auto it = s_.devices.find(path);
        return it == s_.devices.end() ? DeviceKind::PseudoTerminal : it->second;
    }
    void setDtr(bool on) override { s_.calls.push_back(std::string("dtr:") + (on ? "1" : "0")); }
    void setRts(bool on) override { s_.calls.push_back(std::string("rts:") + (on ? "1" : "0")); }

private:
    FakeSerialState &s_;
};
