#include "ui/TraceModel.h"

#include <QBrush>
#include <QColor>

using talvex::trace::Direction;
using talvex::trace::TraceLine;

TTraceModel::TTraceModel(QObject *parent) : QAbstractTableModel(parent)
{
    batch_.setInterval(kBatchIntervalMs);
    batch_.setSingleShot(true);
    connect(&batch_, &QTimer::timeout, this, &TTraceModel::Flush);
}

quint64 TTraceModel::Key(TTraceSource source, uint64_t exchange)
{
    return quint64(exchange) << 1 | (source == TTraceSource::Bootloader ? 1 : 0);
}

void TTraceModel::Add(TTraceSource source, const TraceLine &line)
{
    if (line.failed)
        failed_.insert(Key(source, line.exchange));
    bool told = false;
    if (line.unansweredBefore && line.exchange > 1) {
        const quint64 before = Key(source, line.exchange - 1);
        told = !failed_.contains(before);
        failed_.insert(before);
    }
    queued_.push_back({source, line});
    // A queue that outgrows the table loses its oldest lines at once.
    if (queued_.size() > size_t(kMaxLines))
        queued_.erase(queued_.begin(), queued_.begin() + qsizetype(queued_.size() - kMaxLines));
    if (!batch_.isActive())
        batch_.start();
    if (told)
        emit failuresChanged();
}

void TTraceModel::Flush()
{
    batch_.stop();
    if (queued_.empty())
        return;
    const size_t overflow = entries_.size() + queued_.size() > size_t(kMaxLines)
                                ? std::min(entries_.size(), entries_.size() + queued_.size() - kMaxLines)
                                : 0;
    if (overflow) {
        beginRemoveRows({}, 0, int(overflow) - 1);
        entries_.erase(entries_.begin(), entries_.begin() + qsizetype(overflow));
        endRemoveRows();
    }
    const int first = int(entries_.size());
    beginInsertRows({}, first, first + int(queued_.size()) - 1);
    entries_.insert(entries_.end(), queued_.begin(), queued_.end());
    endInsertRows();
    queued_.clear();
    // The failed exchanges of lines no longer kept go too, so a day on a noisy line stays bounded.
    if (failed_.size() > kMaxLines) {
        QSet<quint64> kept;
        for (const TTraceEntry &e : entries_)
            if (failed_.contains(Key(e.Source, e.Line.exchange)))
                kept.insert(Key(e.Source, e.Line.exchange));
        failed_.swap(kept);
    }
}

void TTraceModel::Clear()
{
    beginResetModel();
    entries_.clear();
    queued_.clear();
    failed_.clear();
    endResetModel();
}

bool TTraceModel::ExchangeFailed(const TTraceEntry &entry) const
{
    return failed_.contains(Key(entry.Source, entry.Line.exchange));
}

int TTraceModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(entries_.size());
}

int TTraceModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QVariant TTraceModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(entries_.size()))
        return {};
    const TTraceEntry &e = entries_[size_t(index.row())];
    const TraceLine &l = e.Line;
    if (role == Qt::ForegroundRole)
        return l.failed ? QBrush(QColor(200, 0, 0)) : QVariant();
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case kTime:
        return QString::number(l.timeMs, 'f', 3);
    case kSource:
        return e.Source == TTraceSource::Modbus ? QStringLiteral("Modbus") : QStringLiteral("Boot");
    case kDirection:
        return l.direction == Direction::Tx ? tr("发") : tr("收");
    case kSilence:
        return l.silenceMs < 0 ? QString() : QString::number(l.silenceMs, 'f', 1);
    case kBytes:
        return QString::fromStdString(talvex::trace::HexBytes(l.bytes));
    case kMeaning:
        return QString::fromStdString(l.text);
    }
    return {};
}

QVariant TTraceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const char *const kTitles[kColumns] = {QT_TR_NOOP("时间 (ms)"), QT_TR_NOOP("端口"), QT_TR_NOOP("方向"),
                                                  QT_TR_NOOP("间隔 (ms)"), QT_TR_NOOP("字节"), QT_TR_NOOP("内容")};
    return section >= 0 && section < kColumns ? tr(kTitles[section]) : QVariant();
}

TTraceFilter::TTraceFilter(TTraceModel *model, QObject *parent) : QSortFilterProxyModel(parent), model_(model)
{
    setSourceModel(model);
    connect(model, &TTraceModel::failuresChanged, this, [this] {
        if (failedOnly_)
            invalidateFilter();
    });
}

void TTraceFilter::SetFailedOnly(bool on)
{
    failedOnly_ = on;
    invalidateFilter();
}

bool TTraceFilter::filterAcceptsRow(int row, const QModelIndex &) const
{
    return !failedOnly_ || model_->ExchangeFailed(model_->Entry(row));
}
