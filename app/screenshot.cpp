// Renders a window to a PNG, for the README:
//   talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware] [--trend]
// With --connect it presses "开始连接" first and waits until a few exchanges have
// run; with --firmware it renders the firmware-update window instead, part-way
// through an update of the module on COM2 ("开始更新" pressed); with --trend the
// trend window, after half a minute of polling shown over a one-minute span.
#include "translations/Language.h"
#include "ui/Firmware.h"
#include "ui/Main.h"
#include "ui/Trend.h"

#include <QApplication>
#include <QElapsedTimer>
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
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware] [--trend]\n");
        return 2;
    }
    const QString out = args[0];
    const bool connectFirst = args.contains("--connect");
    const bool firmware = args.contains("--firmware");
    const bool trend = args.contains("--trend");
    if (const qsizetype at = args.indexOf("--lang"); at > 0 && at + 1 < args.size())
        InstallLanguage(LanguageFromName(args[at + 1]).value_or(TUiLanguage::Chinese));

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
