#include "ui/UpdateStatusText.h"

#include <QCoreApplication>

namespace {
// The status line's texts, looked up in the user's language.
struct TUpdateWords {
    Q_DECLARE_TR_FUNCTIONS(TUpdateWords)
};
}  // namespace

QString BootVersionText(uint8_t version)
{
    return QStringLiteral("Boot:") + QString::number(version >> 4) + QLatin1Char('.') + QString::number(version & 0x0F);
}

QString UpdateStatusText(TUpdateNotice notice, int value)
{
    switch (notice) {
    case TUpdateNotice::Searching:
        return TUpdateWords::tr("正在查找设备。。。");
    case TUpdateNotice::Connected:
        return TUpdateWords::tr("已成功连接");
    case TUpdateNotice::BootVersion:
        return BootVersionText(static_cast<uint8_t>(value));
    case TUpdateNotice::NoContact:
        return TUpdateWords::tr("无法和设备通讯，请重新尝试");
    case TUpdateNotice::Erasing:
        return TUpdateWords::tr("正在擦除。。。");
    case TUpdateNotice::Written:
        return TUpdateWords::tr("写进度: %1%").arg(value);
    case TUpdateNotice::Done:
        return TUpdateWords::tr("上载完成！");
    case TUpdateNotice::LinkFailed:
        return TUpdateWords::tr("连机失败！请检查通信线。");
    }
    return QString();
}
