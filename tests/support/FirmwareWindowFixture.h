#pragma once
#include "tests/support/FakeSerialPort.h"
#include "ui/Firmware.h"

#include <QStringList>

#include <memory>

// The firmware-update window, made afresh for each test function: on the real
// ports, beside a main window and against the simulated module
// (UpdateWindowsTest), or alone on the recording double of the serial platform,
// where a test class derives from it and calls createFirmwareWindowOnDouble()
// from init() and destroyFirmwareWindow() from cleanup().
struct FirmwareWindowFixture {
    // The double's record and script; unused when the window is on the real ports.
    FakeSerialState st;
    std::unique_ptr<TFirmwareFrm> frm;
    // Every status-line text the window has shown, in order.
    QStringList statuses;

    void createFirmwareWindow(QWidget *owner) { adopt(std::make_unique<TFirmwareFrm>(owner)); }
    void createFirmwareWindowOnDouble()
    {
        st = FakeSerialState{};
        adopt(std::make_unique<TFirmwareFrm>(nullptr, std::make_unique<FakeSerialPort>(st)));
    }
    // A test may end with an update in flight: its timers stop before the window goes.
    void destroyFirmwareWindow()
    {
        if (!frm)
            return;
        frm->OvertimeT.stop();
        frm->Timer5.stop();
        frm.reset();
    }

    // The update's line sequence holds the GUI thread for a second per run; its
    // waits are the engine's tests' business, and nothing on a pty sees the lines.
    void skipLineWaits()
    {
        frm->Engine.SetSleep([](uint32_t) {});
    }

    // The start button, on the port where SimFixture links the module by default.
    void startUpdate()
    {
        frm->Serial_Port->SetItemIndex(kModulePortItem);
        frm->BitBtn1->click();
    }

private:
    static constexpr int kModulePortItem = 1;  // COM2

    void adopt(std::unique_ptr<TFirmwareFrm> window)
    {
        frm = std::move(window);
        statuses.clear();
        QObject::connect(frm.get(), &TFirmwareFrm::statusChanged, frm.get(),
                         [this](const QString &text) { statuses << text; });
    }
};
