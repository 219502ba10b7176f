#pragma once
#include "tests/support/FirmwareWindowFixture.h"
#include "tests/support/MainWindowFixture.h"

#include <QObject>

// Base of a test class whose test functions each get a fresh main window and
// write dialog. A class that needs more set-up declares its own init() and
// calls this one first.
class MainWindowTest : public QObject, protected MainWindowFixture {
    Q_OBJECT
protected slots:
    void init() { createMainWindow(); }
    void cleanup() { destroyMainWindow(); }
};

// The same with the firmware-update window the main window owns, both on the
// real ports, for tests against the simulated module.
class UpdateWindowsTest : public QObject, protected MainWindowFixture, protected FirmwareWindowFixture {
    Q_OBJECT
protected slots:
    void init()
    {
        createMainWindow();
        createFirmwareWindow(form.get());
    }
    // The firmware window first: the main window is its parent.
    void cleanup()
    {
        destroyFirmwareWindow();
        destroyMainWindow();
    }
};
