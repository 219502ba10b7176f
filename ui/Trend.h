#pragma once
// The trend window: AD0 ... AD7 and DA0 ... DA3 (values or gains) against time as
// the main window polls them, the last 10 minutes by default. It keeps every
// sample in a bounded ring and redraws a few times a second at most, so the
// polling cycle only hands it the values of each successful read.
#include "trend/CsvRecord.h"
#include "trend/TrendChannels.h"
#include "trend/TrendRing.h"
#include "widgets/Toolkit.h"

#include <QChartView>
#include <QCheckBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QTimer>
#include <QValueAxis>
#include <QWidget>

#include <array>
#include <functional>

// The chart with the mouse: drag with the left button to zoom into a stretch of
// time, the wheel zooms in and out, the right button drags the view along.
class TTrendView : public QChartView {
    Q_OBJECT
public:
    explicit TTrendView(QChart *chart, QWidget *parent = nullptr);

signals:
    // The user zoomed or moved the view: it stops following the newest samples.
    void userMoved();

protected:
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool panning_ = false;
    QPointF lastPan_;
};

class TTrendFrm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSeriesCount = kTrendInputs + kTrendOutputs;  // AD0 ... AD7, DA0 ... DA3
    static constexpr int kRedrawIntervalMs = 1000;                     // one redraw a second at most
    static constexpr int kSpanMinutes[] = {1, 10, 30, 60, 120};
    static constexpr int kDefaultSpanIndex = 1;  // 10 minutes
    // The longest span at the poll's fastest rate (one read per 60 ms): 120000
    // samples of 40 bytes, about 5 MB, whatever the time polled.
    static constexpr int kFastestReadMs = 60;
    static constexpr size_t kRingCapacity = size_t(120) * 60 * 1000 / kFastestReadMs;
    // Points drawn per series at most; a longer stretch is drawn as the least and
    // the greatest value of each of kMaxDrawnPoints / 2 slices.
    static constexpr int kMaxDrawnPoints = 300;
    // Above the greatest and below the least value drawn, as a share of their range.
    static constexpr double kValueMargin = 0.05;

    explicit TTrendFrm(QWidget *parent = nullptr);
    ~TTrendFrm() override;

    // One successful read of the polling cycle, at `time`.
    void Sample(const QDateTime &time, const TChannelValues &values);

    const TTrendRing &Ring() const { return ring_; }
    bool Paused() const { return paused_; }
    bool Following() const { return following_; }
    bool Recording() const { return recorder_.IsOpen(); }
    int RecordedRows() const { return recorder_.Rows(); }
    // The stretch of time the chart shows, ms since the epoch (UTC).
    qint64 VisibleFrom() const;
    qint64 VisibleTo() const;
    // Whether the DA series show the gains (G0 ... G3) instead of the values.
    bool ShowingGains() const { return OutputBox->ItemIndex() == 1; }
    // The channel series `s` shows now.
    int ChannelOfSeries(int s) const;
    // Redraws now, whatever the throttle says (tests, the screenshot).
    void Redraw();
    int Redraws() const { return redraws_; }

    // The chart as shown, to a PNG file. False when it cannot be written.
    bool ExportPng(const QString &path);
    // The samples of the visible span, as a recording's rows. False when it cannot be written.
    bool ExportCsv(const QString &path, QString &error);
    bool StartRecording(const QString &path, QString &error);
    void StopRecording();
    // The engineering units in use, as the user's settings hold them.
    const TChannelUnits &Units() const { return units_; }
    void SetUnits(const TChannelUnits &units);

    // Handlers.
    void PauseButtonClick();
    void ResetButtonClick();
    void PngButtonClick();
    void CsvButtonClick();
    void RecordButtonClick();
    void UnitsButtonClick();

    // Asks for a file to write; empty when the user cancelled. A save dialog by
    // default; tests answer in its place.
    std::function<QString(const QString &caption, const QString &filter)> AskFileName;

    TTrendView *ChartView;
    QChart *Chart;
    QDateTimeAxis *TimeAxis;
    QValueAxis *ValueAxis;
    std::array<QLineSeries *, kSeriesCount> Series{};
    std::array<QCheckBox *, kSeriesCount> ChannelBoxes{};
    TDropDownList *SpanBox;
    TDropDownList *OutputBox;
    QPushButton *PauseButton;
    QPushButton *ResetButton;
    QPushButton *PngButton;
    QPushButton *CsvButton;
    QPushButton *RecordButton;
    QPushButton *UnitsButton;
    QLabel *StatusLabel;
    QTimer RedrawTimer;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void buildControls();
    void redrawIfDue();
    void fillSeries(int s, size_t first, size_t last, double &low, double &high);
    void nameSeries();
    void showStatus();

    TTrendRing ring_{kRingCapacity};
    TChannelUnits units_;
    TCsvRecorder recorder_;
    bool paused_ = false;
    bool following_ = true;
    bool dirty_ = true;
    int redraws_ = 0;
    qint64 viewFrom_ = 0, viewTo_ = 0;  // the span drawn last
};
