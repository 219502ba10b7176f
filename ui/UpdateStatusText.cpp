#include "ui/UpdateStatusText.h"

QString BootVersionText(uint8_t version)
{
    return QStringLiteral("Boot:") + QString::number(version >> 4) + QLatin1Char('.') + QString::number(version & 0x0F);
}

QString UpdateStatusText(TUpdateNotice notice, int value)
{
    switch (notice) {
    case TUpdateNotice::Searching:
        return QStringLiteral("正在查找设备。。。");
    case TUpdateNotice::Connected:
        return QStringLiteral("已成功连接");
    case TUpdateNotice::BootVersion:
        return BootVersionText(static_cast<uint8_t>(value));
    case TUpdateNotice::NoContact:
        return QStringLiteral("无法和设备通讯，请重新尝试");
    case TUpdateNotice::Erasing:
        return QStringLiteral("正在擦除。。。");
    case TUpdateNotice::Written:
        return QStringLiteral("写进度: ") + QString::number(value) + QLatin1Char('%');
    case TUpdateNotice::Done:
        return QStringLiteral("上载完成！");
    case TUpdateNotice::LinkFailed:
        return QStringLiteral("连机失败！请检查通信线。");
    }
    return QString();
}
