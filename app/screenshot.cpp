// Renders the main window to a PNG, for the README: talvex-screenshot OUT.png [--connect]
// With --connect it presses "开始连接" first and waits until a few exchanges have run.
#include "ui/Main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: talvex-screenshot OUT.png [--connect]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const bool connectFirst = argc > 2 && QString::fromLocal8Bit(argv[2]) == "--connect";

    TMainForm form;
    form.show();
    if (connectFirst)
        form.SpeedButton1->click();

    constexpr int kExchangesWanted = 12;
    constexpr int kGiveUpMs = 10000;
    QElapsedTimer waited;
    waited.start();
    int result = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const bool ready = !connectFirst || form.ExchangeCount >= kExchangesWanted;
        if (!ready && waited.elapsed() < kGiveUpMs)
            return;
        if (!ready) {
            std::fprintf(stderr, "talvex-screenshot: no exchange with the module\n");
            result = 1;
        }
        form.TimerSecTimer();
        if (!form.grab().save(out)) {
            std::fprintf(stderr, "talvex-screenshot: cannot write %s\n", qPrintable(out));
            result = 1;
        }
        app.quit();
    });
    check.start(100);
    app.exec();
    return result;
}
