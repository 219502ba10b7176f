// Renders a window to a PNG, for the README:
//   talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware] [--trend]
// With --connect it presses "开始连接" first and waits until a few exchanges have
// run; with --firmware it renders the firmware-update window instead, part-way
// through an update of the module on COM2 ("开始更新" pressed); with --trend the
// trend window, after half a minute of polling shown over a one-minute span.
// With --station RECIPE --ports P1,P2,P3 the production station's window, its
// records in a scratch file: slot 1 passed with the label typed into its field,
// slot 2 failed, slot 3 waiting for its label.
#include "station/RecordStore.h"
#include "translations/Language.h"
#include "ui/Firmware.h"
#include "ui/Main.h"
#include "ui/StationFrm.h"
#include "ui/StationSetup.h"
#include "ui/Trend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {
constexpr int kExchangesWanted = 12;
constexpr int kProgressWanted = 40;  // percent of the image written when the firmware window is taken
constexpr int kGiveUpMs = 20000;
constexpr int kTrendExchangesWanted = 500;  // about half a minute of polling
constexpr int kTrendGiveUpMs = 60000;
constexpr int kModulePortItem = 1;  // COM2, where make screenshot links the simulated module
constexpr int kStationGiveUpMs = 60000;
const QString kStationLabel = QStringLiteral("TM-000123");  // what the "scanner" types for slot 1

// True once `done` holds, polled on the event loop; false after `giveUpMs`.
bool WaitFor(const std::function<bool()> &done, int giveUpMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < giveUpMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return done();
}

int StationShot(const QString &out, const QString &recipeFile, const QString &portList)
{
    QTemporaryDir scratch;
    TStationSetup setup;
    setup.recipe = recipeFile;
    setup.ports = portList.split(',');
    setup.db = QStringLiteral("sqlite:") + scratch.filePath("records.sqlite");
    setup.operatorName = QStringLiteral("Li Wei");
    TRecipe recipe;
    QList<TStationPort> ports;
    TRecordStore store;
    store.setSpoolPath(scratch.filePath("spool.sqlite"));
    QString error;
    if (!PrepareStation(setup, recipe, ports, error) || !OpenStationRecords(setup, store, error)) {
        std::fprintf(stderr, "talvex-screenshot: %s\n", qPrintable(error));
        return 1;
    }
    TStation station(recipe, store, ports);
    station.setOperator(setup.operatorName);
    TStationFrm frm(station, QStringLiteral("sqlite:records.sqlite"));
    frm.show();
    frm.StationStartClick();
    bool labelled = false;
    const auto state = [&](int slot) { return station.slotStatus(slot).state; };
    const bool ready = WaitFor(
        [&] {
            if (!labelled && state(1) == TSlotState::NeedsLabel) {
                frm.SlotLabel[0]->setText(kStationLabel);
                frm.SlotLabelEntered(1);
                labelled = true;
            }
            return state(1) == TSlotState::Passed && (station.slotCount() < 2 || state(2) == TSlotState::Failed) &&
                   (station.slotCount() < 3 || state(3) == TSlotState::NeedsLabel);
        },
        kStationGiveUpMs);
    int result = 0;
    if (!ready) {
        std::fprintf(stderr, "talvex-screenshot: the station's slots did not come to their states\n");
        result = 1;
    }
    if (!frm.grab().save(out)) {
        std::fprintf(stderr, "talvex-screenshot: cannot write %s\n", qPrintable(out));
        result = 1;
    }
    station.stop();
    return result;
}

}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware] [--trend]\n"
                             "       talvex-screenshot OUT.png --station RECIPE --ports P1,P2,P3 [--lang zh|en]\n");
        return 2;
    }
    const QString out = args[0];
    const bool connectFirst = args.contains("--connect");
    const bool firmware = args.contains("--firmware");
    const bool trend = args.contains("--trend");
    if (const qsizetype at = args.indexOf("--lang"); at > 0 && at + 1 < args.size())
        InstallLanguage(LanguageFromName(args[at + 1]).value_or(TUiLanguage::Chinese));
    const qsizetype station = args.indexOf("--station");
    const qsizetype ports = args.indexOf("--ports");
    if (station > 0 && station + 1 < args.size() && ports > 0 && ports + 1 < args.size())
        return StationShot(out, args[station + 1], args[ports + 1]);

    TMainForm form;
    TFirmwareFrm firmwareFrm(&form);
    QWidget *shown = &form;
    std::function<bool()> ready = [&] { return !connectFirst || form.ExchangeCount >= kExchangesWanted; };
    form.show();
    if (firmware) {
        shown = &firmwareFrm;
        firmwareFrm.show();
        firmwareFrm.Serial_Port->SetItemIndex(kModulePortItem);
        firmwareFrm.BitBtn1->click();
        ready = [&] { return firmwareFrm.ProgressBar1->value() >= kProgressWanted; };
    } else if (trend) {
        form.TrendButton->click();
        form.TrendFrm->SpanBox->SetItemIndex(0);  // one minute
        shown = form.TrendFrm;
        form.SpeedButton1->click();
        ready = [&] { return form.ExchangeCount >= kTrendExchangesWanted; };
    } else if (connectFirst) {
        form.SpeedButton1->click();
    }

    QElapsedTimer waited;
    waited.start();
    int result = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const bool done = ready();
        if (!done && waited.elapsed() < (trend ? kTrendGiveUpMs : kGiveUpMs))
            return;
        if (!done) {
            std::fprintf(stderr, "talvex-screenshot: no exchange with the module\n");
            result = 1;
        }
        form.TimerSecTimer();
        if (trend)
            form.TrendFrm->Redraw();
        if (!shown->grab().save(out)) {
            std::fprintf(stderr, "talvex-screenshot: cannot write %s\n", qPrintable(out));
            result = 1;
        }
        firmwareFrm.OvertimeT.stop();
        firmwareFrm.Timer5.stop();
        app.quit();
    });
    check.start(firmware ? 5 : 100);
    app.exec();
    return result;
}
