// Renders a window to a PNG, for the README:
//   talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware]
// With --connect it presses "开始连接" first and waits until a few exchanges have
// run; with --firmware it renders the firmware-update window instead, part-way
// through an update of the module on COM2 ("开始更新" pressed).
#include "translations/Language.h"
#include "ui/Firmware.h"
#include "ui/Main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {
constexpr int kExchangesWanted = 12;
constexpr int kProgressWanted = 40;  // percent of the image written when the firmware window is taken
constexpr int kGiveUpMs = 20000;
constexpr int kModulePortItem = 1;  // COM2, where make screenshot links the simulated module
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: talvex-screenshot OUT.png [--connect] [--lang zh|en] [--firmware]\n");
        return 2;
    }
    const QString out = args[0];
    const bool connectFirst = args.contains("--connect");
    const bool firmware = args.contains("--firmware");
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
    } else if (connectFirst) {
        form.SpeedButton1->click();
    }

    QElapsedTimer waited;
    waited.start();
    int result = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const bool done = ready();
        if (!done && waited.elapsed() < kGiveUpMs)
            return;
        if (!done) {
            std::fprintf(stderr, "talvex-screenshot: no exchange with the module\n");
            result = 1;
        }
        form.TimerSecTimer();
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
