// talvex-station: the production station's window over the slots' ports.
#include "app/StartOptions.h"
#include "station/RecordsUrl.h"
#include "ui/StationFrm.h"
#include "ui/StationSetup.h"
#include "widgets/Toolkit.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (const std::optional<int> status = StationAnswerWithoutWindows(argc, argv))
        return *status;
    PreferQtEventLoop();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvex-station"));
    QGuiApplication::setDesktopFileName(QStringLiteral("talvex-station"));
    TStationSetup setup;
    TUiLanguage language = TUiLanguage::Chinese;
    QString error;
    if (!ReadStationCommandLine(app.arguments(), setup, language, error)) {
        std::fprintf(stderr, "talvex-station: %s\n", qPrintable(error));
        return 1;
    }
    InstallLanguage(language);

    TRecipe recipe;
    QList<TStationPort> ports;
    TRecordStore store;
    if (setup.complete()) {
        // Started from a script or a menu entry with everything given: a bad part
        // ends the program with its reason rather than a dialog nobody asked for.
        if (!PrepareStation(setup, recipe, ports, error) || !OpenStationRecords(setup, store, error)) {
            std::fprintf(stderr, "talvex-station: %s\n", qPrintable(error));
            ShowMessage(nullptr, error, kCaptionApp);
            return 1;
        }
    } else if (!AskStationSetup(setup, recipe, ports, store)) {
        return 0;
    }

    TStation station(recipe, store, ports);
    station.setOperator(setup.operatorName);
    TStationFrm stationFrm(station, RecordsUrlShown(setup.db.isEmpty() ? DefaultRecordsUrl() : setup.db));
    stationFrm.show();
    return app.exec();
}
