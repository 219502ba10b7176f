// Renders a window to a PNG, for the README: talvex-screenshot OUT.png [--connect] [--trend]
// With --connect it presses "开始连接" first and waits until a few exchanges have run.
// With --trend it renders the trend window instead, after half a minute of polling
// shown over a one-minute span.
#include "ui/Main.h"
#include "ui/Trend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: talvex-screenshot OUT.png [--connect] [--trend]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const QStringList options = app.arguments().mid(2);
    const bool trend = options.contains("--trend");
    const bool connectFirst = trend || options.contains("--connect");

    TMainForm form;
    form.show();
    if (trend) {
        form.TrendButton->click();
        form.TrendFrm->SpanBox->SetItemIndex(0);  // one minute
    }
    if (connectFirst)
        form.SpeedButton1->click();

    // About half a minute of polling for the chart, a few exchanges for the main window.
    const int exchangesWanted = trend ? 500 : 12;
    const int giveUpMs = trend ? 60000 : 10000;
    QElapsedTimer waited;
    waited.start();
    int result = 0;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        const bool ready = !connectFirst || form.ExchangeCount >= exchangesWanted;
        if (!ready && waited.elapsed() < giveUpMs)
            return;
        if (!ready) {
            std::fprintf(stderr, "talvex-screenshot: no exchange with the module\n");
            result = 1;
        }
        form.TimerSecTimer();
        QWidget *shown = &form;
        if (trend) {
            form.TrendFrm->Redraw();
            shown = form.TrendFrm;
        }
        if (!shown->grab().save(out)) {
            std::fprintf(stderr, "talvex-screenshot: cannot write %s\n", qPrintable(out));
            result = 1;
        }
        app.quit();
    });
    check.start(100);
    app.exec();
    return result;
}
