// The main window's two views beside the grids: the trend chart and the line trace.
#include "ui/Main.h"

#include "modbus/MODBUS_RTU.h"
#include "trend/TrendChannels.h"
#include "ui/Firmware.h"
#include "ui/Trace.h"
#include "ui/Trend.h"

#include <QDateTime>

namespace {

constexpr int kButtonTop = 1;
constexpr int kButtonHeight = 22;
constexpr int kButtonWidth = 96;
constexpr int kTrendButtonLeft = 528;
constexpr int kTraceButtonLeft = 632;

// Shows a window of its own and brings it to the front.
void Raise(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace

void TMainForm::buildViewButtons(QFrame *strip)
{
    TrendButton = new QPushButton(tr("趋势图"), strip);
    TrendButton->setObjectName("TrendButton");
    TrendButton->setGeometry(kTrendButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    connect(TrendButton, &QPushButton::clicked, this, &TMainForm::TrendButtonClick);
    TraceButton = new QPushButton(tr("通信监视"), strip);
    TraceButton->setObjectName("TraceButton");
    TraceButton->setGeometry(kTraceButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    connect(TraceButton, &QPushButton::clicked, this, &TMainForm::TraceButtonClick);
}

void TMainForm::TrendButtonClick()
{
    if (!TrendFrm)
        TrendFrm = new TTrendFrm(this);
    Raise(TrendFrm);
}

void TMainForm::TraceButtonClick()
{
    if (!TraceFrm)
        TraceFrm = new TTraceFrm(ComDriver, FirmwareFrm ? &FirmwareFrm->ComDriver : nullptr, this);
    Raise(TraceFrm);
}

void TMainForm::FeedTrend()
{
    if (TrendFrm)
        TrendFrm->Sample(QDateTime::currentDateTimeUtc(), ChannelValues(RegisterMirror));
}
