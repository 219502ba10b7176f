#include "ui/Trace.h"

#include "widgets/Toolkit.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QVBoxLayout>

#include <chrono>

using talvex::trace::LineTracer;
using talvex::trace::TraceLine;

namespace {

constexpr int kWindowFontPx = 14;
constexpr int kInitialWidth = 1000;
constexpr int kInitialHeight = 520;

}  // namespace

TTraceFrm::TTraceFrm(TQRTCommDriver &modbus, TQRTCommDriver *bootloader, QWidget *parent)
    : QWidget(parent, Qt::Window), modbus_(&modbus), bootloader_(bootloader)
{
    setObjectName("TraceFrm");
    setWindowTitle(tr("通信监视"));
    setFont(SongFont(kWindowFontPx));
    resize(kInitialWidth, kInitialHeight);
    AskFileName = [this] {
        return QFileDialog::getSaveFileName(this, tr("保存"), QString(), QStringLiteral("Text (*.txt)"));
    };

    model_ = new TTraceModel(this);
    filter_ = new TTraceFilter(model_, this);
    TraceView = new QTableView(this);
    TraceView->setObjectName("TraceView");
    TraceView->setModel(filter_);
    TraceView->verticalHeader()->setVisible(false);
    TraceView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    TraceView->horizontalHeader()->setStretchLastSection(true);
    TraceView->setSelectionBehavior(QAbstractItemView::SelectRows);
    TraceView->setWordWrap(false);
    TraceView->setColumnWidth(TTraceModel::kBytes, 320);
    // New lines keep the newest in sight unless the user has scrolled up to read.
    connect(TraceView->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this](int v) { followBottom_ = v == TraceView->verticalScrollBar()->maximum(); });
    connect(filter_, &QAbstractItemModel::rowsInserted, this, [this] {
        if (followBottom_)
            TraceView->scrollToBottom();
    });

    const auto button = [this](const char *name, const QString &text, void (TTraceFrm::*handler)()) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    PauseButton = button("PauseButton", tr("暂停"), &TTraceFrm::PauseButtonClick);
    PauseButton->setCheckable(true);
    ClearButton = button("ClearButton", tr("清除"), &TTraceFrm::ClearButtonClick);
    SaveButton = button("SaveButton", tr("保存"), &TTraceFrm::SaveButtonClick);
    FailedOnlyBox = new QCheckBox(tr("只看失败的通信"), this);
    FailedOnlyBox->setObjectName("FailedOnlyBox");
    connect(FailedOnlyBox, &QCheckBox::clicked, this, &TTraceFrm::FailedOnlyBoxClick);

    auto *bar = new QHBoxLayout;
    for (QWidget *w : std::initializer_list<QWidget *>{PauseButton, ClearButton, SaveButton, FailedOnlyBox})
        bar->addWidget(w);
    bar->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(TraceView, 1);

    // Both ports' lines on one time scale.
    const auto start = std::chrono::steady_clock::now();
    modbusTracer_ = std::make_unique<LineTracer>(
        talvex::trace::MakeModbusDecoder(), [this](const TraceLine &l) { take(TTraceSource::Modbus, l); }, start);
    bootTracer_ = std::make_unique<LineTracer>(
        talvex::trace::MakeBootDecoder(), [this](const TraceLine &l) { take(TTraceSource::Bootloader, l); }, start);
}

TTraceFrm::~TTraceFrm()
{
    listen(false);
}

void TTraceFrm::listen(bool on)
{
    listening_ = on;
    const auto tap = [on](TQRTCommDriver *driver, LineTracer *tracer) {
        if (!driver)
            return;
        if (on)
            driver->SetTap(tracer);
        else if (driver->Tap() == tracer)
            driver->SetTap(nullptr);
    };
    tap(modbus_.data(), modbusTracer_.get());
    tap(bootloader_.data(), bootTracer_.get());
}

void TTraceFrm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    listen(true);
}

void TTraceFrm::hideEvent(QHideEvent *event)
{
    listen(false);
    model_->Flush();
    QWidget::hideEvent(event);
}

void TTraceFrm::take(TTraceSource source, const TraceLine &line)
{
    // Paused, the decoders still follow the line, so the first lines after it are told right.
    if (!Paused())
        model_->Add(source, line);
}

QStringList TTraceFrm::ShownLines() const
{
    QStringList lines;
    for (int row = 0; row < filter_->rowCount(); ++row) {
        const TTraceEntry &e = model_->Entry(filter_->mapToSource(filter_->index(row, 0)).row());
        lines << (e.Source == TTraceSource::Modbus ? QStringLiteral("modbus ") : QStringLiteral("boot   ")) +
                     QString::fromStdString(talvex::trace::FormatTraceLine(e.Line));
    }
    return lines;
}

bool TTraceFrm::SaveTo(const QString &path)
{
    model_->Flush();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    const QByteArray text = (ShownLines().join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    return file.write(text) == text.size();
}

void TTraceFrm::PauseButtonClick()
{
    PauseButton->setText(Paused() ? tr("继续") : tr("暂停"));
}

void TTraceFrm::ClearButtonClick()
{
    model_->Clear();
}

void TTraceFrm::SaveButtonClick()
{
    const QString path = AskFileName();
    if (!path.isEmpty() && !SaveTo(path))
        ShowMessage(this, tr("无法写入 %1 ！").arg(path), kCaptionApp);
}

void TTraceFrm::FailedOnlyBoxClick()
{
    model_->Flush();
    filter_->SetFailedOnly(FailedOnlyBox->isChecked());
}
