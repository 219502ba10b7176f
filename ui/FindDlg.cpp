#include "ui/FindDlg.h"

#include "modbus/ModuleConfig.h"
#include "ui/PortMessages.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QShowEvent>

namespace {

const char *const kCaption = QT_TRANSLATE_NOOP("TFindDlg", "查找模块");
const char *const kSearching = QT_TRANSLATE_NOOP("TFindDlg", "正在查找: %1, 站号 %2");
const char *const kFoundSome = QT_TRANSLATE_NOOP("TFindDlg", "找到 %1 个模块");
const char *const kFoundNone = QT_TRANSLATE_NOOP("TFindDlg", "未找到模块 ！");
const char *const kStopped = QT_TRANSLATE_NOOP("TFindDlg", "已停止, 找到 %1 个模块");
const char *const kChooseLines = QT_TRANSLATE_NOOP("TFindDlg", "请至少选择一个波特率和一个格式 ！");

QString Text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

// What a list setting's register holds as its text, or the number when it is outside the list.
QString ListText(const auto &table, uint16_t word)
{
    return word < table.size() ? Text(table[word]) : QString::number(word);
}

// The filter levels have their translation among the module's texts.
QString FilterText(uint16_t word)
{
    return word < kFilterTexts.size() ? QCoreApplication::translate(kModuleTextsContext, kFilterTexts[word])
                                      : QString::number(word);
}

// The main window's words for a port that cannot be opened, in the user's language.
QString PortOpenFailedText()
{
    return QCoreApplication::translate("TMainForm", kPortOpenFailedText.toUtf8().constData());
}

QLabel *MakeLabel(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(geometry);
    return label;
}

}  // namespace

QString FoundSettingsText(const TFoundModule &m)
{
    return TFindDlg::tr("站号 %1, CAN %2, 485 %3 %4, %5, %6 ms")
        .arg(m.Register(Reg::Cfg_Station))
        .arg(ListText(kBaudCanTexts, m.Register(Reg::Cfg_BaudCAN)),
             ListText(kBaud485Texts, m.Register(Reg::Cfg_Baud485)), ListText(kDat485Texts, m.Register(Reg::Cfg_Dat485)),
             FilterText(m.Register(Reg::Cfg_Filter)))
        .arg(m.Register(Reg::Cfg_TxSuppress));
}

TFindDlg::TFindDlg(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint), Engine(ComDriver)
{
    setObjectName("FindDlg");
    setWindowTitle(tr(kCaption));
    setFont(SongFont(16));
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);

    auto *range = new QGroupBox(tr("查找范围"), this);
    range->setObjectName("FindRange");
    range->setGeometry(6, 4, 400, 112);
    MakeLabel(range, tr("站号"), QRect(10, 24, 60, 24));
    FindFrom = new TSpinEdit(range, kStationMin, kStationMax, kStationMin, 2);
    FindFrom->setObjectName("FindFrom");
    FindFrom->setGeometry(72, 22, 60, 26);
    MakeLabel(range, tr("至"), QRect(140, 24, 20, 24));
    FindTo = new TSpinEdit(range, kStationMin, kStationMax, kStationMax, 2);
    FindTo->setObjectName("FindTo");
    FindTo->setGeometry(164, 22, 60, 26);

    MakeLabel(range, tr("波特率"), QRect(10, 52, 60, 24));
    for (size_t i = 0; i < FindBauds.size(); ++i) {
        FindBauds[i] = new QCheckBox(Text(kBaud485Texts[i]), range);
        FindBauds[i]->setObjectName(QStringLiteral("FindBaud%1").arg(Text(kBaud485Texts[i])));
        FindBauds[i]->setGeometry(72 + static_cast<int>(i) * 80, 52, 78, 24);
        FindBauds[i]->setChecked(true);
    }
    MakeLabel(range, tr("格式"), QRect(10, 80, 60, 24));
    for (size_t i = 0; i < FindFormats.size(); ++i) {
        FindFormats[i] = new QCheckBox(Text(kDat485Texts[i]), range);
        FindFormats[i]->setObjectName(QStringLiteral("FindFormat%1").arg(QString::fromStdString(FormatWord(int(i)))));
        FindFormats[i]->setGeometry(72 + static_cast<int>(i) * 80, 80, 78, 24);
        FindFormats[i]->setChecked(true);
    }

    FindStart = new QPushButton(tr("开始查找"), this);
    FindStart->setObjectName("FindStart");
    FindStart->setGeometry(420, 20, 130, 30);
    connect(FindStart, &QPushButton::clicked, this, &TFindDlg::FindStartClick);
    FindStop = new QPushButton(tr("停止"), this);
    FindStop->setObjectName("FindStop");
    FindStop->setGeometry(420, 62, 130, 30);
    FindStop->setEnabled(false);
    connect(FindStop, &QPushButton::clicked, this, &TFindDlg::FindStopClick);

    FindProgress = new QProgressBar(this);
    FindProgress->setObjectName("FindProgress");
    FindProgress->setGeometry(6, 124, 548, 20);
    FindProgress->setRange(0, 100);
    FindProgress->setValue(0);
    FindStatus = MakeLabel(this, QString(), QRect(6, 148, 548, 22));
    FindStatus->setObjectName("FindStatus");

    FindResults = new QTableWidget(0, kColumns, this);
    FindResults->setObjectName("FindResults");
    FindResults->setGeometry(6, 174, 548, 150);
    FindResults->setHorizontalHeaderLabels({tr("站号"), tr("波特率"), tr("格式"), tr("固件"), tr("模块设置")});
    FindResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FindResults->setSelectionBehavior(QAbstractItemView::SelectRows);
    FindResults->setSelectionMode(QAbstractItemView::SingleSelection);
    FindResults->verticalHeader()->hide();
    FindResults->horizontalHeader()->setStretchLastSection(true);
    constexpr int kNarrowColumn = 56, kRateColumn = 70;
    FindResults->setColumnWidth(kColStation, kNarrowColumn);
    FindResults->setColumnWidth(kColBaud, kRateColumn);
    FindResults->setColumnWidth(kColFormat, kRateColumn);
    FindResults->setColumnWidth(kColFirmware, kNarrowColumn);
    connect(FindResults, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { FindResultsDblClick(row); });
    connect(FindResults, &QTableWidget::itemSelectionChanged, this,
            [this] { FindConnect->setEnabled(!FindResults->selectedItems().isEmpty()); });

    FindConnect = new QPushButton(tr("连接"), this);
    FindConnect->setObjectName("FindConnect");
    FindConnect->setGeometry(420, 334, 130, 30);
    FindConnect->setEnabled(false);
    connect(FindConnect, &QPushButton::clicked, this, &TFindDlg::FindConnectClick);

    connect(&Engine, &TScanEngine::Progress, this, &TFindDlg::onProgress);
    connect(&Engine, &TScanEngine::ModuleFound, this, &TFindDlg::onFound);
    connect(&Engine, &TScanEngine::Finished, this, &TFindDlg::onFinished);
}

TFindDlg::~TFindDlg()
{
    Engine.Stop();
}

void TFindDlg::SetPort(TComPortNumber port)
{
    if (!Engine.Running())
        ComDriver.SetComPort(port);
}

void TFindDlg::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFindDlg::FormShow()
{
    // Each showing asks afresh; the ranges and ticks stay as the user left them.
    chosen_.reset();
    rows_.clear();
    FindResults->setRowCount(0);
    FindProgress->setValue(0);
    FindStatus->clear();
    FindConnect->setEnabled(false);
}

TScanRequest TFindDlg::Request() const
{
    TScanRequest r;
    r.All = true;  // the table shows every module that answers
    for (int s = FindFrom->Value(); s <= FindTo->Value(); ++s)
        r.Stations.push_back(s);
    for (size_t i = 0; i < FindBauds.size(); ++i)
        if (FindBauds[i]->isChecked())
            r.Bauds.push_back(static_cast<int>(i));
    for (size_t i = 0; i < FindFormats.size(); ++i)
        if (FindFormats[i]->isChecked())
            r.Formats.push_back(static_cast<int>(i));
    return r;
}

void TFindDlg::FindStartClick()
{
    const TScanRequest request = Request();
    // An empty list would mean "all" to the plan: nothing ticked asks for nothing.
    if (request.Stations.empty() || request.Bauds.empty() || request.Formats.empty()) {
        ShowMessage(this, tr(kChooseLines), kCaptionApp);
        return;
    }
    rows_.clear();
    FindResults->setRowCount(0);
    FindProgress->setValue(0);
    setSearching(true);
    Engine.Start(request);
}

void TFindDlg::FindStopClick()
{
    Engine.Stop();
}

void TFindDlg::FindConnectClick()
{
    const QList<QTableWidgetItem *> selected = FindResults->selectedItems();
    if (!selected.isEmpty())
        connectTo(selected.first()->row());
}

void TFindDlg::FindResultsDblClick(int row)
{
    connectTo(row);
}

void TFindDlg::connectTo(int row)
{
    if (row < 0 || static_cast<size_t>(row) >= rows_.size())
        return;
    Engine.Stop();
    chosen_ = rows_[static_cast<size_t>(row)];
    accept();
}

void TFindDlg::reject()
{
    Engine.Stop();
    QDialog::reject();
}

void TFindDlg::setSearching(bool searching)
{
    FindStart->setEnabled(!searching);
    FindStop->setEnabled(searching);
    FindFrom->setEnabled(!searching);
    FindTo->setEnabled(!searching);
    for (QCheckBox *box : FindBauds)
        box->setEnabled(!searching);
    for (QCheckBox *box : FindFormats)
        box->setEnabled(!searching);
}

void TFindDlg::onProgress(const TScanProgress &p)
{
    FindProgress->setValue(p.Percent);
    FindStatus->setText(tr(kSearching).arg(QString::fromStdString(LineText(p.Probe.Line))).arg(p.Probe.Station));
}

void TFindDlg::onFound(const TFoundModule &m)
{
    rows_.push_back(m);
    const int row = FindResults->rowCount();
    FindResults->insertRow(row);
    const QString cells[kColumns] = {QString::number(m.Station), Text(kBaud485Texts[size_t(m.Line.Baud)]),
                                     Text(kDat485Texts[size_t(m.Line.Format)]),
                                     QString::fromStdString(FirmwareVersionText(m.Firmware())), FoundSettingsText(m)};
    for (int c = 0; c < kColumns; ++c) {
        auto *item = new QTableWidgetItem(cells[c]);
        item->setToolTip(cells[c]);  // the settings may be wider than their column
        FindResults->setItem(row, c, item);
    }
    // The first module found is the one "连接" takes unless the user picks another.
    if (row == 0)
        FindResults->selectRow(0);
}

void TFindDlg::onFinished(TScanEnd end)
{
    setSearching(false);
    const int found = static_cast<int>(rows_.size());
    switch (end) {
    case TScanEnd::PortFailed:
        FindStatus->clear();
        ShowMessage(this, PortOpenFailedText(), kCaptionPortError);
        return;
    case TScanEnd::Stopped:
        FindStatus->setText(tr(kStopped).arg(found));
        return;
    case TScanEnd::Completed:
    case TScanEnd::FirstFound:
        FindProgress->setValue(FindProgress->maximum());
        FindStatus->setText(found == 0 ? tr(kFoundNone) : tr(kFoundSome).arg(found));
        return;
    }
}
