#pragma once
// The update engine under test: a port whose far end is the simulated chip, a
// port that plays back scripted replies, and a record of what the engine reports.
#include "firmware/UpdateEngine.h"
#include "sim/bootloader/Stm32Bootloader.h"
#include "tests/support/FakeSerialPort.h"
#include "ui/UpdateStatusText.h"

#include <QObject>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

// The far end of the line is the chip's bootloader: what the engine writes is fed
// to it, and its answers are there for the next read.
class ChipPort final : public SerialPort {
public:
    explicit ChipPort(Stm32Bootloader &chip, std::vector<std::string> &calls) : chip_(chip), calls_(calls) {}
    bool open(const std::string &path) override
    {
        calls_.push_back("open:" + path);
        open_ = true;
        chip_.reset();  // the line sequence resets the chip into its bootloader
        return true;
    }
    void close() override
    {
        calls_.push_back("close");
        open_ = false;
    }
    bool isOpen() const override { return open_; }
    bool applySettings(const LineSettings &) override { return true; }
    void purge(bool, bool) override {}
    bool outputQueue(uint32_t &count) override
    {
        count = 0;
        return true;
    }
    int read(uint8_t *buffer, int size) override
    {
        const int n = std::min<int>(size, int(answers_.size()));
        std::copy_n(answers_.begin(), n, buffer);
        answers_.erase(answers_.begin(), answers_.begin() + n);
        return n;
    }
    int write(const uint8_t *data, int size, uint32_t) override
    {
        const std::vector<uint8_t> a = chip_.feed(data, size_t(size));
        answers_.insert(answers_.end(), a.begin(), a.end());
        return size;
    }
    bool setDtr(bool on) override
    {
        calls_.push_back(std::string("dtr:") + (on ? "1" : "0"));
        return true;
    }
    bool setRts(bool on) override
    {
        calls_.push_back(std::string("rts:") + (on ? "1" : "0"));
        return true;
    }
    bool dropModemLines(unsigned) override { return true; }

private:
    Stm32Bootloader &chip_;
    std::vector<std::string> &calls_;
    std::vector<uint8_t> answers_;
    bool open_ = false;
};

// What an engine reports, in order, and when by its clock; the status line in
// the window's words.
struct Reports {
    QStringList statuses;
    std::vector<uint32_t> statusTimes;
    QList<int> progress;
    QList<TUpdateOutcome> outcomes;
    QList<QPair<int, QString>> portFailures;
    std::vector<uint32_t> sleeps;
    uint32_t now = 0;  // the engine's clock: moved by the test and by the engine's waits

    void watch(TUpdateEngine &engine)
    {
        QObject::connect(&engine, &TUpdateEngine::noticed, [this](TUpdateNotice notice, int value) {
            statuses << UpdateStatusText(notice, value);
            statusTimes.push_back(now);
        });
        QObject::connect(&engine, &TUpdateEngine::progressChanged, [this](int p) { progress << p; });
        QObject::connect(&engine, &TUpdateEngine::finished, [this](TUpdateOutcome o) { outcomes << o; });
        QObject::connect(&engine, &TUpdateEngine::portOpenFailed, [this](int com, const QString &device) {
            portFailures.append({com, device});
        });
        // The waits are recorded and move the clock, not slept: nothing here takes real seconds.
        engine.SetClock({[this] { return now; },
                         [this](uint32_t ms) {
                             sleeps.push_back(ms);
                             now += ms;
                         }});
    }
};

// The engine on a platform double that plays back the replies a test hands it.
struct EngineOnFakePort {
    FakeSerialState st;
    TQRTCommDriver driver{nullptr, std::make_unique<FakeSerialPort>(st)};
    TUpdateEngine engine{driver};
    Reports r;

    EngineOnFakePort() { r.watch(engine); }
    // Bytes come in: what the port's readable notice or poll does.
    void arrive(const Bytes &bytes)
    {
        st.reads.push_back(bytes);
        driver.PollReceive();
    }
};
