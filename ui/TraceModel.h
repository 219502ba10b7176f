#pragma once
// The trace window's lines as a table: newest at the bottom, at most kMaxLines
// kept (the oldest go first). Lines come in as the line carries them and are
// shown in batches, a few times a second, so a busy line does not redraw the
// table for every chunk.
#include "trace/TraceLine.h"

#include <QAbstractTableModel>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QTimer>

#include <deque>
#include <vector>

// Where a line was taken: the main window's Modbus port or the firmware window's.
enum class TTraceSource { Modbus, Bootloader };

struct TTraceEntry {
    TTraceSource Source = TTraceSource::Modbus;
    talvex::trace::TraceLine Line;
};

class TTraceModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 20000;
    static constexpr int kBatchIntervalMs = 200;
    enum Column { kTime, kSource, kDirection, kSilence, kBytes, kMeaning, kColumns };

    explicit TTraceModel(QObject *parent = nullptr);

    // Queued; shown with the next batch.
    void Add(TTraceSource source, const talvex::trace::TraceLine &line);
    // The queued lines, now.
    void Flush();
    void Clear();
    const TTraceEntry &Entry(int row) const { return entries_[size_t(row)]; }
    // An exchange that went wrong: a line of it failed, or no usable answer came before the next.
    bool ExchangeFailed(const TTraceEntry &entry) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    // A failed exchange was told after its lines had been shown (its request had no answer).
    void failuresChanged();

private:
    static quint64 Key(TTraceSource source, uint64_t exchange);

    std::deque<TTraceEntry> entries_;
    std::vector<TTraceEntry> queued_;
    QSet<quint64> failed_;
    QTimer batch_;
};

// Only the lines of failed exchanges, when asked.
class TTraceFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit TTraceFilter(TTraceModel *model, QObject *parent = nullptr);
    void SetFailedOnly(bool on);
    bool FailedOnly() const { return failedOnly_; }

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override;

private:
    TTraceModel *model_;
    bool failedOnly_ = false;
};
