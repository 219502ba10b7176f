#pragma once
// The firmware update as its fuzz harness sees it: press start, one step, one
// time-out tick, which of its two timers are running, and what it shows. Only
// this file knows where the update lives (today the window's handlers), so the
// harness follows the update wherever it moves.
#include "serial/SerialPort.h"
#include "ui/Firmware.h"

#include <memory>

class UpdateUnderTest {
public:
    explicit UpdateUnderTest(std::unique_ptr<SerialPort> port) : frm_(nullptr, std::move(port)) {}

    void choosePort(int index) { frm_.Serial_Port->SetItemIndex(index); }
    void press() { frm_.BitBtn1Click(); }
    void show() { frm_.FormShow(); }

    // What the event loop would deliver: a tick only to a running timer.
    bool stepTimerRunning() const { return frm_.Timer5.isActive(); }
    bool timeoutTimerRunning() const { return frm_.OvertimeT.isActive(); }
    void step() { frm_.Timer5Timer(); }
    void timeoutTick() { frm_.OvertimeTTimer(); }

    TQRTCommDriver &port() { return frm_.ComDriver; }
    int state() const { return frm_.Engine.Core().IspState(); }
    int progress() const { return frm_.ProgressBar1->value(); }
    int32_t imageOffset() const { return frm_.Engine.Core().ImageOffset(); }
    int32_t bytesLeft() const { return frm_.Engine.Core().BytesLeft(); }
    uint32_t writeAddress() const { return frm_.Engine.Core().WriteAddress(); }
    const TIspBuffer &buffer() const { return frm_.IspBuffer; }
    bool imageLoaded() const { return frm_.ImageStream && !frm_.ImageStream->isEmpty(); }

    static constexpr int kStates = TFirmwareFrm::kStates;

private:
    TFirmwareFrm frm_;
};
