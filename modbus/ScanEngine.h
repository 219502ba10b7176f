#pragma once
// The search for a module on timers: one probe after the other, each on its line
// for its computed wait, a second read to confirm every answer, and the modules
// found reported as values. No widgets: the command line and the window's find
// dialog run the same engine and word its reports themselves.
#include "modbus/ScanPlan.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <vector>

class TQRTCommDriver;

// How a search ended.
enum class TScanEnd {
    Completed,   // every probe asked (with All, the modules are in Found())
    FirstFound,  // the first module found ended it
    Stopped,     // Stop()
    PortFailed,  // the port could not be opened or set, or went away
};

struct TScanProgress {
    int Done = 0;  // probes sent so far, this one included
    int Total = 0;
    TProbe Probe;  // the one just sent
    int Percent = 0;
};

class TScanEngine : public QObject {
    Q_OBJECT
public:
    // `driver` names the port (ComPort or DevicePath); the engine opens it with each
    // line in turn and closes it at the end if it opened it.
    explicit TScanEngine(TQRTCommDriver &driver, QObject *parent = nullptr);
    ~TScanEngine() override;

    // False when the request has no probe or a search runs; otherwise the first
    // probe is out when it returns. PortFailed comes through Finished().
    bool Start(const TScanRequest &request);
    // Ends the search at once with Stopped; nothing if none runs.
    void Stop();
    bool Running() const { return running_; }

    const std::vector<TFoundModule> &Found() const { return found_; }
    const std::vector<TProbe> &Order() const { return order_; }
    int ProbesSent() const { return probesSent_; }
    // The computed waits of every exchange made so far (probes, confirming reads,
    // the wait for late replies at the end of a line), and the time the search took.
    uint64_t PlannedMs() const { return plannedMs_; }
    qint64 ElapsedMs() const { return clock_.isValid() ? clock_.elapsed() : 0; }

signals:
    void Progress(const TScanProgress &progress);
    void ModuleFound(const TFoundModule &module);
    void Finished(TScanEnd end);

private:
    // A probe's answer waiting for its confirming read.
    struct Candidate {
        int Station;
        uint16_t Firmware;
        int Attempts = 0;
    };
    // What the exchange on the line is.
    enum class Phase { Probe, Confirm, Drain };

    void OnDeadline();
    // Looks at what the line brought: probe answers become candidates, and the
    // confirming read's answer a module found. Keeps only the bytes after them.
    void Judge();
    // Returns where the bytes it looked at end.
    size_t JudgeConfirm(const uint8_t *bytes, size_t count);
    // The next exchange: a confirming read, the wait for late replies at the end
    // of a line, or the next probe.
    void Next();
    bool UseLine(TModbusLine line);
    void Send(const RequestFrame &frame, uint32_t waitMs);
    void Wait(uint32_t waitMs);
    void Finish(TScanEnd end);

    TQRTCommDriver &driver_;
    QTimer deadline_;
    QElapsedTimer clock_;
    TScanRequest request_;
    std::vector<TProbe> order_;
    size_t next_ = 0;
    std::vector<int> recent_;  // stations probed on the current line whose replies still count
    std::deque<Candidate> candidates_;
    std::vector<TFoundModule> found_;
    std::vector<TProbe> heard_;  // answers already taken up, so a repeat is not confirmed twice
    TModbusLine line_;
    Phase phase_ = Phase::Probe;
    bool lineSet_ = false;
    bool drained_ = false;  // the current line's wait for late replies is done
    bool opened_ = false;
    bool running_ = false;
    int probesSent_ = 0;
    uint64_t plannedMs_ = 0;
};
