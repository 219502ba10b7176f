#include "ui/Main.h"
#include "app/StartOptions.h"
#include "ui/Firmware.h"
#include "ui/MonitorD.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (const std::optional<int> status = AnswerWithoutWindows(argc, argv))
        return *status;
    PreferQtEventLoop();
    QApplication app(argc, argv);
    NameApplication();
    QGuiApplication::setDesktopFileName(QStringLiteral("talvex"));
    CheckRemainingOptions(app);
    InstallLanguage(ChosenLanguage(app));
    // Created in this order; the dialog lives for the whole run and is shown on demand.
    TMainForm mainForm;
    TMonitorDf monitorDf(&mainForm);
    TFirmwareFrm firmwareFrm(&mainForm);
    mainForm.show();
    // Closing the main window ends the message loop and the program.
    return app.exec();
}
