#include "widgets/PortList.h"

#include "serial/ById.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"

#include <QFileInfo>

TPortList::TPortList(QWidget *parent, int itemIndex) : TDropDownList(parent, ComPortNames(), itemIndex)
{
    ShowPortTargets();
}

QString TPortList::PortTarget(int index)
{
    const std::string device = ResolveComPort(ComPortNames().value(index).toStdString());
    const QString path = QString::fromStdString(device);
    if (ClassifyDevice(device) == DeviceKind::Absent)
        return path + QStringLiteral(": not present");
    const QString byId = ByIdPathOf(device);
    return byId.isEmpty() ? path : QStringLiteral("%1 (%2)").arg(path, QFileInfo(byId).fileName());
}

void TPortList::ShowPortTargets()
{
    for (int i = 0; i < count(); ++i)
        setItemData(i, PortTarget(i), Qt::ToolTipRole);
}

void TPortList::showPopup()
{
    ShowPortTargets();
    TDropDownList::showPopup();
}
