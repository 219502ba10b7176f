#pragma once
#include "modbus/ModuleConfig.h"
#include "ui/Main.h"
#include "ui/MonitorD.h"

#include <QtTest>

#include <memory>

// The main window and its register write dialog, made afresh for each test
// function (MainWindowTest makes and ends them from its init() and cleanup()).
struct MainWindowFixture {
    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TMonitorDf> dialog;

    void createMainWindow()
    {
        form = std::make_unique<TMainForm>();
        dialog = std::make_unique<TMonitorDf>(form.get());
        form->show();
    }
    // The dialog goes first: the window is its parent.
    void destroyMainWindow()
    {
        dialog.reset();
        form.reset();
    }

    // The connect button, on the port the window's list shows; it must open.
    void connectForm()
    {
        form->SpeedButton1->click();
        QVERIFY(form->SpeedButton1->isChecked());
    }
    // The configuration controls, as a user sets them before pressing the write.
    void enterSettings(const TModuleSettings &s) { form->EnterSettings(s); }
    // Connects and waits until the module has answered `exchanges` polls.
    void connectAndWait(int exchanges)
    {
        connectForm();
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= exchanges, kFirstExchangesMs);
    }

private:
    static constexpr int kFirstExchangesMs = 3000;
};
