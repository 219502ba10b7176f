#include "ui/StationTexts.h"

#include <QCoreApplication>

namespace {

constexpr int kUniqueIdShown = 24;  // the whole ID: an operator compares it with a label's
const char *const kContext = "TStationFrm";

QString Tr(const char *text)
{
    return QCoreApplication::translate(kContext, text);
}

// The flash stage in finer words: erasing, writing or verifying.
QString FlashStep(TUpdateStage stage)
{
    switch (stage) {
    case TUpdateStage::Erasing:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "擦除"));
    case TUpdateStage::Writing:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "写入"));
    case TUpdateStage::Verifying:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "校验"));
    default:
        return {};
    }
}

QString Dash(double value, const QString &shown)
{
    return value < 0 ? QStringLiteral("-") : shown;
}

}  // namespace

QString SlotStateWord(TSlotState state)
{
    switch (state) {
    case TSlotState::Stopped:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "已停止"));
    case TSlotState::Waiting:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "等待板卡"));
    case TSlotState::Held:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "暂停"));
    case TSlotState::NeedsLabel:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "等待标签"));
    case TSlotState::Working:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "进行中"));
    case TSlotState::Passed:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "通过"));
    case TSlotState::Failed:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "失败"));
    case TSlotState::Done:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "已完成"));
    }
    return {};
}

QString SlotStageWord(TSlotStage stage)
{
    switch (stage) {
    case TSlotStage::Detect:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "检测"));
    case TSlotStage::Identify:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "识别"));
    case TSlotStage::Label:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "标签"));
    case TSlotStage::Admit:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "核准"));
    case TSlotStage::Flash:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "烧写"));
    case TSlotStage::Configure:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "配置"));
    case TSlotStage::ReadBack:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "回读"));
    case TSlotStage::Record:
        return Tr(QT_TRANSLATE_NOOP("TStationFrm", "记录"));
    }
    return {};
}

QStringList SlotTileLines(int slot, const QString &port, const TSlotStatus &status)
{
    QStringList lines{Tr(QT_TRANSLATE_NOOP("TStationFrm", "槽位 %1  %2")).arg(slot).arg(port)};
    const QString word = SlotStateWord(status.state);
    const QString stage = SlotStageWord(status.stage);
    switch (status.state) {
    case TSlotState::Working: {
        QString doing = stage;
        if (status.stage == TSlotStage::Flash) {
            const QString step = FlashStep(status.updateStage);
            doing += (step.isEmpty() ? QString() : QStringLiteral(" ") + step) +
                     QStringLiteral(" %1%").arg(status.percent);
        }
        lines << Tr(QT_TRANSLATE_NOOP("TStationFrm", "%1：%2")).arg(word, doing);
        break;
    }
    case TSlotState::Failed:
        lines << Tr(QT_TRANSLATE_NOOP("TStationFrm", "%1：%2")).arg(word, stage) << status.reason;
        break;
    case TSlotState::Held:
        lines << word << status.reason;
        break;
    case TSlotState::NeedsLabel:
        lines << Tr(QT_TRANSLATE_NOOP("TStationFrm", "%1：请扫描")).arg(word);
        break;
    case TSlotState::Done:
        lines << Tr(QT_TRANSLATE_NOOP("TStationFrm", "%1：请取走板卡")).arg(word);
        break;
    default:
        lines << word;
        break;
    }
    if (!status.label.isEmpty())
        lines << Tr(QT_TRANSLATE_NOOP("TStationFrm", "标签 %1")).arg(status.label);
    if (!status.uniqueId.isEmpty() && status.state != TSlotState::Waiting)
        lines << QStringLiteral("ID %1").arg(status.uniqueId.left(kUniqueIdShown));
    lines.removeAll(QString());
    return lines;
}

QString RecordLine(const TRunRecord &record)
{
    const QString time = record.startedUtc.toLocalTime().toString(QStringLiteral("HH:mm:ss"));
    const bool passed = record.result == kResultPassed;
    QString line = Tr(QT_TRANSLATE_NOOP("TStationFrm", "%1  槽位 %2  %3  %4  %5"))
                       .arg(time, record.slot, record.label.isEmpty() ? QStringLiteral("-") : record.label,
                            record.uniqueId.isEmpty() ? QStringLiteral("-") : record.uniqueId,
                            SlotStateWord(passed ? TSlotState::Passed : TSlotState::Failed));
    if (!passed)
        line += QStringLiteral(" (%1: %2)").arg(record.failedStage, record.cause);
    return line;
}

QString YieldText(double firstPassYield, double boardsPerHour)
{
    return Tr(QT_TRANSLATE_NOOP("TStationFrm", "直通率 %1，每小时 %2 块"))
        .arg(Dash(firstPassYield, QStringLiteral("%1 %").arg(firstPassYield * 100.0, 0, 'f', 1)),
             Dash(boardsPerHour, QString::number(boardsPerHour, 'f', 0)));
}
