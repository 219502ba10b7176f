#include "ui/Trend.h"

#include "ui/TrendUnitsDialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

const char *const kCaption = QT_TRANSLATE_NOOP("TTrendFrm", "趋势图");
const char *const kPause = QT_TRANSLATE_NOOP("TTrendFrm", "暂停");
const char *const kResume = QT_TRANSLATE_NOOP("TTrendFrm", "继续");
const char *const kRecord = QT_TRANSLATE_NOOP("TTrendFrm", "录制");
const char *const kStopRecording = QT_TRANSLATE_NOOP("TTrendFrm", "停止录制");
const char *const kCannotWrite = QT_TRANSLATE_NOOP("TTrendFrm", "无法写入 %1 ！");
const QString kCsvFilter = QStringLiteral("CSV (*.csv)");
const QString kPngFilter = QStringLiteral("PNG (*.png)");

constexpr int kWindowFontPx = 14;
constexpr int kInitialWidth = 900;
constexpr int kInitialHeight = 560;
constexpr double kWheelZoomIn = 1.25;  // per notch of the wheel
constexpr int kWheelNotch = 120;       // angleDelta of one notch
constexpr qint64 kMsPerMinute = 60 * 1000;

// Fixed colours, so that a channel keeps its colour when others are hidden.
const QColor kSeriesColors[TTrendFrm::kSeriesCount] = {
    QColor(31, 119, 180),  QColor(255, 127, 14), QColor(44, 160, 44),   QColor(214, 39, 40),
    QColor(148, 103, 189), QColor(140, 86, 75),  QColor(227, 119, 194), QColor(127, 127, 127),
    QColor(188, 189, 34),  QColor(23, 190, 207), QColor(0, 0, 128),     QColor(128, 0, 0),
};

}  // namespace

TTrendView::TTrendView(QChart *chart, QWidget *parent) : QChartView(chart, parent)
{
    setRubberBand(QChartView::HorizontalRubberBand);
    setRenderHint(QPainter::Antialiasing, false);  // cheaper, and sharp at one pixel
}

void TTrendView::wheelEvent(QWheelEvent *event)
{
    const double notches = event->angleDelta().y() / double(kWheelNotch);
    if (notches == 0)
        return;
    chart()->zoom(std::pow(kWheelZoomIn, notches));
    emit userMoved();
    event->accept();
}

void TTrendView::mousePressEvent(QMouseEvent *event)
{
    // The right button drags the view; QChartView would zoom out on it.
    if (event->button() == Qt::RightButton) {
        panning_ = true;
        lastPan_ = event->position();
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void TTrendView::mouseMoveEvent(QMouseEvent *event)
{
    if (panning_) {
        const QPointF d = event->position() - lastPan_;
        lastPan_ = event->position();
        chart()->scroll(-d.x(), 0);
        emit userMoved();
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void TTrendView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::RightButton && panning_) {
        panning_ = false;
        event->accept();
        return;
    }
    const bool zoomed = event->button() == Qt::LeftButton && rubberBand() != QChartView::NoRubberBand;
    QChartView::mouseReleaseEvent(event);
    if (zoomed)
        emit userMoved();
}

TTrendFrm::TTrendFrm(QWidget *parent) : QWidget(parent, Qt::Window), units_(LoadChannelUnits())
{
    setObjectName("TrendFrm");
    setWindowTitle(tr(kCaption));
    setFont(SongFont(kWindowFontPx));
    resize(kInitialWidth, kInitialHeight);
    AskFileName = [this](const QString &caption, const QString &filter) {
        return QFileDialog::getSaveFileName(this, caption, QString(), filter);
    };
    buildControls();
    RedrawTimer.setObjectName("RedrawTimer");
    RedrawTimer.setInterval(kRedrawIntervalMs);
    connect(&RedrawTimer, &QTimer::timeout, this, &TTrendFrm::redrawIfDue);
    showStatus();
}

TTrendFrm::~TTrendFrm() = default;

void TTrendFrm::buildControls()
{
    Chart = new QChart;
    Chart->legend()->setAlignment(Qt::AlignRight);
    Chart->setMargins(QMargins(4, 4, 4, 4));
    TimeAxis = new QDateTimeAxis;
    TimeAxis->setFormat(QStringLiteral("HH:mm:ss"));
    TimeAxis->setTickCount(7);
    ValueAxis = new QValueAxis;
    ValueAxis->setLabelFormat(QStringLiteral("%g"));
    Chart->addAxis(TimeAxis, Qt::AlignBottom);
    Chart->addAxis(ValueAxis, Qt::AlignLeft);
    ChartView = new TTrendView(Chart, this);
    ChartView->setObjectName("ChartView");
    connect(ChartView, &TTrendView::userMoved, this, [this] {
        following_ = false;
        dirty_ = true;
    });

    auto *boxes = new QHBoxLayout;
    for (int s = 0; s < kSeriesCount; ++s) {
        Series[s] = new QLineSeries;
        Series[s]->setColor(kSeriesColors[s]);
        Series[s]->setUseOpenGL(false);
        Chart->addSeries(Series[s]);
        Series[s]->attachAxis(TimeAxis);
        Series[s]->attachAxis(ValueAxis);
        ChannelBoxes[s] = new QCheckBox(this);
        ChannelBoxes[s]->setObjectName(QStringLiteral("ChannelBox%1").arg(s));
        ChannelBoxes[s]->setChecked(true);
        connect(ChannelBoxes[s], &QCheckBox::toggled, this, [this, s](bool on) {
            Series[s]->setVisible(on);
            dirty_ = true;
            Redraw();
        });
        boxes->addWidget(ChannelBoxes[s]);
    }
    boxes->addStretch();

    SpanBox = new TDropDownList(this, {tr("1 分钟"), tr("10 分钟"), tr("30 分钟"), tr("1 小时"), tr("2 小时")},
                                kDefaultSpanIndex);
    SpanBox->setObjectName("SpanBox");
    connect(SpanBox, &QComboBox::currentIndexChanged, this, [this] {
        following_ = true;
        dirty_ = true;
        Redraw();
    });
    OutputBox = new TDropDownList(this, {tr("设DA值"), tr("设增益")}, 0);
    OutputBox->setObjectName("OutputBox");
    connect(OutputBox, &QComboBox::currentIndexChanged, this, [this] {
        nameSeries();
        dirty_ = true;
        Redraw();
    });
    const auto button = [this](const char *name, const QString &text, void (TTrendFrm::*handler)()) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(name);
        connect(b, &QPushButton::clicked, this, handler);
        return b;
    };
    PauseButton = button("PauseButton", tr(kPause), &TTrendFrm::PauseButtonClick);
    ResetButton = button("ResetButton", tr("复位"), &TTrendFrm::ResetButtonClick);
    PngButton = button("PngButton", tr("导出图片"), &TTrendFrm::PngButtonClick);
    CsvButton = button("CsvButton", tr("导出CSV"), &TTrendFrm::CsvButtonClick);
    RecordButton = button("RecordButton", tr(kRecord), &TTrendFrm::RecordButtonClick);
    RecordButton->setCheckable(true);
    UnitsButton = button("UnitsButton", tr("工程单位"), &TTrendFrm::UnitsButtonClick);
    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName("StatusLabel");
    StatusLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

    auto *bar = new QHBoxLayout;
    bar->addWidget(new QLabel(tr("时间跨度"), this));
    bar->addWidget(SpanBox);
    bar->addWidget(new QLabel(tr("DA曲线"), this));
    bar->addWidget(OutputBox);
    for (QPushButton *b : {PauseButton, ResetButton, PngButton, CsvButton, RecordButton, UnitsButton})
        bar->addWidget(b);
    bar->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(ChartView, 1);
    layout->addLayout(boxes);
    layout->addWidget(StatusLabel);
    nameSeries();
}

int TTrendFrm::ChannelOfSeries(int s) const
{
    return s < kTrendInputs || !ShowingGains() ? s : s + kTrendOutputs;
}

void TTrendFrm::nameSeries()
{
    for (int s = 0; s < kSeriesCount; ++s) {
        const int c = ChannelOfSeries(s);
        Series[s]->setName(ChannelTitle(c, units_[c]));
        ChannelBoxes[s]->setText(ChannelId(c));
    }
}

void TTrendFrm::SetUnits(const TChannelUnits &units)
{
    units_ = units;
    nameSeries();
    dirty_ = true;
    Redraw();
}

void TTrendFrm::Sample(const QDateTime &time, const TChannelValues &values)
{
    // Called from the polling cycle: a copy into the ring, a row when recording,
    // nothing drawn here.
    ring_.Append({time.toMSecsSinceEpoch(), values});
    if (recorder_.IsOpen() && !recorder_.Row(time, values)) {
        const QString path = recorder_.Path();
        StopRecording();
        ShowMessage(this, tr("录制文件写入失败：%1 ！").arg(path), kCaptionApp);
    }
    dirty_ = true;
}

void TTrendFrm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    RedrawTimer.start();
    Redraw();
}

void TTrendFrm::hideEvent(QHideEvent *event)
{
    // A hidden chart costs nothing but the copy of each sample.
    RedrawTimer.stop();
    QWidget::hideEvent(event);
}

void TTrendFrm::redrawIfDue()
{
    if (dirty_ && !paused_ && isVisible())
        Redraw();
}

qint64 TTrendFrm::VisibleFrom() const
{
    return following_ ? viewFrom_ : TimeAxis->min().toMSecsSinceEpoch();
}

qint64 TTrendFrm::VisibleTo() const
{
    return following_ ? viewTo_ : TimeAxis->max().toMSecsSinceEpoch();
}

void TTrendFrm::fillSeries(int s, size_t first, size_t last, double &low, double &high)
{
    const int c = ChannelOfSeries(s);
    const TChannelUnit &unit = units_[c];
    QList<QPointF> points;
    const size_t count = last - first;
    const size_t slices = kMaxDrawnPoints / 2;
    const auto point = [&](size_t i) {
        const TTrendSample &sample = ring_.At(i);
        const double v = unit.Value(sample.Values[c]);
        low = std::min(low, v);
        high = std::max(high, v);
        return QPointF(double(sample.TimeMs), v);
    };
    if (count <= size_t(kMaxDrawnPoints)) {
        points.reserve(qsizetype(count));
        for (size_t i = first; i < last; ++i)
            points.append(point(i));
    } else {
        // The least and the greatest of each slice, in their order in time, so
        // that no spike disappears between the points drawn.
        points.reserve(qsizetype(2 * slices));
        for (size_t k = 0; k < slices; ++k) {
            const size_t a = first + count * k / slices, b = first + count * (k + 1) / slices;
            size_t lo = a, hi = a;
            for (size_t i = a; i < b; ++i) {
                if (ring_.At(i).Values[c] < ring_.At(lo).Values[c])
                    lo = i;
                if (ring_.At(i).Values[c] > ring_.At(hi).Values[c])
                    hi = i;
            }
            points.append(point(std::min(lo, hi)));
            if (lo != hi)
                points.append(point(std::max(lo, hi)));
        }
    }
    Series[s]->replace(points);
}

void TTrendFrm::Redraw()
{
    dirty_ = false;
    ++redraws_;
    if (following_) {
        const qint64 span = kSpanMinutes[std::max(0, SpanBox->ItemIndex())] * kMsPerMinute;
        viewTo_ = ring_.Size() ? ring_.Newest().TimeMs : QDateTime::currentMSecsSinceEpoch();
        viewFrom_ = viewTo_ - span;
    } else {
        viewFrom_ = TimeAxis->min().toMSecsSinceEpoch();
        viewTo_ = TimeAxis->max().toMSecsSinceEpoch();
    }
    // One sample either side, so the lines run to the edges.
    const size_t first = ring_.FirstAtOrAfter(viewFrom_);
    const size_t last = std::min(ring_.Size(), ring_.FirstAtOrAfter(viewTo_ + 1));
    double low = INFINITY, high = -INFINITY;
    for (int s = 0; s < kSeriesCount; ++s) {
        if (ChannelBoxes[s]->isChecked())
            fillSeries(s, first, last, low, high);
        else
            Series[s]->clear();
    }
    TimeAxis->setRange(QDateTime::fromMSecsSinceEpoch(viewFrom_), QDateTime::fromMSecsSinceEpoch(viewTo_));
    if (following_) {
        if (low > high)
            low = 0, high = 1;
        const double margin = std::max((high - low) * kValueMargin, 1e-9);
        ValueAxis->setRange(low - margin, high + margin);
        ValueAxis->applyNiceNumbers();
    }
    showStatus();
}

void TTrendFrm::showStatus()
{
    // Only what changes seldom: a text that changed at every redraw would lay the window out again each time.
    QStringList parts;
    if (paused_)
        parts << tr("已暂停");
    if (!following_)
        parts << tr("缩放中（复位回到最新）");
    if (recorder_.IsOpen())
        parts << tr("录制到 %1").arg(recorder_.Path());
    const QString text = parts.join(tr("，"));
    if (StatusLabel->text() != text)
        StatusLabel->setText(text);
}

void TTrendFrm::PauseButtonClick()
{
    paused_ = !paused_;
    PauseButton->setText(paused_ ? tr(kResume) : tr(kPause));
    if (!paused_)
        Redraw();
    else
        showStatus();
}

void TTrendFrm::ResetButtonClick()
{
    Chart->zoomReset();
    following_ = true;
    Redraw();
}

bool TTrendFrm::ExportPng(const QString &path)
{
    return ChartView->grab().save(path, "PNG");
}

bool TTrendFrm::ExportCsv(const QString &path, QString &error)
{
    TCsvRecorder file;
    if (!file.Open(path, units_, error))
        return false;
    const qint64 from = VisibleFrom(), to = VisibleTo();
    for (size_t i = ring_.FirstAtOrAfter(from); i < ring_.Size() && ring_.At(i).TimeMs <= to; ++i) {
        const TTrendSample &s = ring_.At(i);
        if (!file.Row(QDateTime::fromMSecsSinceEpoch(s.TimeMs, Qt::UTC), s.Values)) {
            error = QStringLiteral("cannot write \"%1\"").arg(path);
            return false;
        }
    }
    return true;
}

bool TTrendFrm::StartRecording(const QString &path, QString &error)
{
    if (!recorder_.Open(path, units_, error)) {
        RecordButton->setChecked(false);
        return false;
    }
    RecordButton->setChecked(true);
    RecordButton->setText(tr(kStopRecording));
    showStatus();
    return true;
}

void TTrendFrm::StopRecording()
{
    recorder_.Close();
    RecordButton->setChecked(false);
    RecordButton->setText(tr(kRecord));
    showStatus();
}

void TTrendFrm::PngButtonClick()
{
    const QString path = AskFileName(tr("导出图片"), kPngFilter);
    if (!path.isEmpty() && !ExportPng(path))
        ShowMessage(this, tr(kCannotWrite).arg(path), kCaptionApp);
}

void TTrendFrm::CsvButtonClick()
{
    const QString path = AskFileName(tr("导出CSV"), kCsvFilter);
    QString error;
    if (!path.isEmpty() && !ExportCsv(path, error))
        ShowMessage(this, tr(kCannotWrite).arg(path), kCaptionApp);
}

void TTrendFrm::RecordButtonClick()
{
    if (recorder_.IsOpen()) {
        StopRecording();
        return;
    }
    const QString path = AskFileName(tr(kRecord), kCsvFilter);
    QString error;
    if (path.isEmpty()) {
        RecordButton->setChecked(false);
        return;
    }
    if (!StartRecording(path, error))
        ShowMessage(this, tr(kCannotWrite).arg(path), kCaptionApp);
}

void TTrendFrm::UnitsButtonClick()
{
    TChannelUnits units = units_;
    if (!EditChannelUnits(this, units))
        return;
    SaveChannelUnits(units);
    SetUnits(units);
}
