#include "ui/StationFrm.h"

#include "ui/StationTexts.h"
#include "widgets/Toolkit.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

constexpr int kWindowFontPx = 16;
constexpr int kTileFontPx = 20;
constexpr int kTileWidth = 320;
constexpr int kTileHeight = 170;
constexpr int kTilesPerRow = 4;
constexpr int kImageShaShown = 12;  // hex digits of the image's SHA-256 beside the recipe
constexpr int kRecordRows = 8;      // rows of the last records visible without scrolling

// The tile's colour says the state from across the room.
QColor TileColour(TSlotState state)
{
    switch (state) {
    case TSlotState::Stopped:
        return {0xE0, 0xE0, 0xE0};
    case TSlotState::Waiting:
        return {0xF2, 0xF7, 0xFB};
    case TSlotState::Held:
    case TSlotState::NeedsLabel:
        return {0xFF, 0xD8, 0x70};
    case TSlotState::Working:
        return {0xA8, 0xD0, 0xFF};
    case TSlotState::Passed:
    case TSlotState::Done:
        return {0x70, 0xE0, 0x70};
    case TSlotState::Failed:
        return {0xFF, 0x60, 0x60};
    }
    return {};
}

QLabel *Named(QLabel *label, const char *name)
{
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

}  // namespace

TStationFrm::TStationFrm(TStation &station, const QString &recordsShown, QWidget *parent)
    : QWidget(parent), station_(station)
{
    setObjectName("StationFrm");
    setWindowTitle(tr("TALVEX_M生产工位"));
    setFont(SongFont(kWindowFontPx));

    const TRecipe &recipe = station.recipe();
    RecipeLabel = Named(
        new QLabel(
            tr("配方 %1  批次 %2  映像 %3").arg(recipe.file, recipe.lot, recipe.imageSha256.left(kImageShaShown)),
            this),
        "RecipeLabel");
    RecipeLabel->setToolTip(recipe.imagePath);
    OperatorLabel = Named(
        new QLabel(tr("操作员 %1").arg(station.operatorName().isEmpty() ? QStringLiteral("-") : station.operatorName()),
                   this),
        "OperatorLabel");
    RecordsLabel = Named(new QLabel(tr("记录 %1").arg(recordsShown), this), "RecordsLabel");

    StationStart = new QPushButton(tr("开始"), this);
    StationStart->setObjectName("StationStart");
    StationStart->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    connect(StationStart, &QPushButton::clicked, this, &TStationFrm::StationStartClick);
    StationStop = new QPushButton(tr("停止"), this);
    StationStop->setObjectName("StationStop");
    StationStop->setIcon(style()->standardIcon(QStyle::SP_MediaStop));
    connect(StationStop, &QPushButton::clicked, this, &TStationFrm::StationStopClick);

    auto *head = new QHBoxLayout;
    auto *shown = new QVBoxLayout;
    shown->addWidget(RecipeLabel);
    shown->addWidget(OperatorLabel);
    shown->addWidget(RecordsLabel);
    head->addLayout(shown, 1);
    head->addWidget(StationStart);
    head->addWidget(StationStop);

    auto *tiles = new QGridLayout;
    for (int k = 1; k <= station.slotCount(); ++k) {
        auto *tile = new QLabel(this);
        tile->setObjectName(QStringLiteral("Slot%1").arg(k));
        tile->setFont(SongFont(kTileFontPx));
        tile->setWordWrap(true);
        tile->setAlignment(Qt::AlignCenter);
        tile->setMinimumSize(kTileWidth, kTileHeight);
        tile->setFrameShape(QFrame::Box);
        tile->setAutoFillBackground(true);
        auto *label = new QLineEdit(this);
        label->setObjectName(QStringLiteral("SlotLabel%1").arg(k));
        label->setPlaceholderText(tr("扫描标签"));
        label->setAccessibleName(tr("槽位 %1 的标签").arg(k));
        connect(label, &QLineEdit::returnPressed, this, [this, k] { SlotLabelEntered(k); });
        Slot.push_back(tile);
        SlotLabel.push_back(label);
        const int row = (k - 1) / kTilesPerRow * 2;
        const int col = (k - 1) % kTilesPerRow;
        tiles->addWidget(tile, row, col);
        tiles->addWidget(label, row + 1, col);
    }

    PassedCount = Named(new QLabel(this), "PassedCount");
    FailedCount = Named(new QLabel(this), "FailedCount");
    YieldLabel = Named(new QLabel(this), "YieldLabel");
    auto *counts = new QHBoxLayout;
    counts->addWidget(PassedCount);
    counts->addWidget(FailedCount);
    counts->addWidget(YieldLabel, 1);

    LastRecords = new QListWidget(this);
    LastRecords->setObjectName("LastRecords");
    LastRecords->setAccessibleName(tr("最近的记录"));
    LastRecords->setMinimumHeight(LastRecords->fontMetrics().height() * kRecordRows);

    StationMessage = Named(new QLabel(this), "StationMessage");
    StationMessage->setWordWrap(true);

    auto *all = new QVBoxLayout(this);
    all->addLayout(head);
    all->addLayout(tiles);
    all->addLayout(counts);
    all->addWidget(LastRecords, 1);
    all->addWidget(StationMessage);

    connect(&station, &TStation::slotChanged, this, [this](int slot) { showSlot(slot); });
    connect(&station, &TStation::slotEvent, this, &TStationFrm::slotEvent);
    connect(&station, &TStation::countsChanged, this, [this] {
        showCounts();
        showRecords();
    });
    connect(&station, &TStation::recorded, this, [this](const TRunRecord &record, bool kept) {
        showRecords();
        if (!kept)
            say(tr("槽位 %1 的记录未能保存！").arg(record.slot), true);
    });
    connect(&station, &TStation::takingChanged, this, &TStationFrm::takingChanged);
    connect(&station, &TStation::stopped, this, &TStationFrm::showRunning);

    for (int k = 1; k <= station.slotCount(); ++k)
        showSlot(k);
    showCounts();
    showRecords();
    showRunning();
    say(tr("就绪：按“开始”"));
}

void TStationFrm::StationStartClick()
{
    station_.start();
    showRunning();
    if (station_.takingBoards())
        say(tr("工位运行中：放上板卡"));
    if (!SlotLabel.empty())
        SlotLabel.front()->setFocus();
}

void TStationFrm::StationStopClick()
{
    station_.stop();
    showRunning();
    say(tr("工位已停止"));
}

void TStationFrm::SlotLabelEntered(int slot)
{
    QLineEdit *field = SlotLabel.at(size_t(slot - 1));
    const QString label = field->text().trimmed();
    if (label.isEmpty())
        return;
    QString why;
    if (!station_.setLabel(slot, label, &why)) {
        // No box: the operator's hands are on the scanner, and the next scan must not go into a dialog.
        say(tr("槽位 %1 的标签 %2 被拒绝：%3").arg(slot).arg(label, why), true);
        field->selectAll();
        return;
    }
    field->clear();
    say(tr("槽位 %1 收到标签 %2").arg(slot).arg(label));
}

void TStationFrm::closeEvent(QCloseEvent *event)
{
    // A board in the middle of its stages is recorded as failed, not left half done.
    if (station_.running())
        station_.stop();
    event->accept();
}

void TStationFrm::showSlot(int slot)
{
    if (slot < 1 || slot > int(Slot.size()))
        return;
    const TSlotStatus &status = station_.slotStatus(slot);
    const QStringList lines = SlotTileLines(slot, station_.slotPort(slot), status);
    QLabel *tile = Slot[size_t(slot - 1)];
    tile->setText(lines.join(QLatin1Char('\n')));
    tile->setAccessibleName(lines.join(QStringLiteral(", ")));
    QPalette pal = tile->palette();
    pal.setColor(QPalette::Window, TileColour(status.state));
    tile->setPalette(pal);
}

void TStationFrm::slotEvent(int slot, TSlotEvent event)
{
    showSlot(slot);
    if (event == TSlotEvent::LabelWanted && slot >= 1 && slot <= int(SlotLabel.size())) {
        // The scanner types into whatever has the focus: give it the field of the slot that waits.
        SlotLabel[size_t(slot - 1)]->setFocus();
        say(tr("槽位 %1 等待标签：请扫描").arg(slot));
    }
}

void TStationFrm::showCounts()
{
    PassedCount->setText(tr("通过 %1").arg(station_.passed()));
    FailedCount->setText(tr("失败 %1").arg(station_.failed()));
    YieldLabel->setText(YieldText(station_.firstPassYield(), station_.boardsPerHour()));
}

void TStationFrm::showRecords()
{
    LastRecords->clear();
    for (const TRunRecord &record : station_.lastRecords()) {
        auto *item = new QListWidgetItem(RecordLine(record), LastRecords);
        if (record.result != kResultPassed)
            item->setForeground(Qt::red);
    }
}

void TStationFrm::showRunning()
{
    StationStart->setEnabled(!station_.running());
    StationStop->setEnabled(station_.running());
}

void TStationFrm::takingChanged(bool taking, const QString &why)
{
    if (taking)
        say(tr("记录服务器已恢复，暂存的记录已送出：继续接收板卡"));
    else
        say(tr("记录服务器不可用（%1）：记录暂存在本地，暂不接收新板卡").arg(why), true);
}

void TStationFrm::say(const QString &text, bool alarm)
{
    StationMessage->setText(text);
    SetFontColor(StationMessage, alarm ? QColor(Qt::red) : QColor(Qt::black));
}
