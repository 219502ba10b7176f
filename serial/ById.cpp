#include "serial/ById.h"

#include <QDir>
#include <QFileInfo>

#include <cstring>

QString ByIdDir()
{
    const QByteArray dir = qgetenv(kByIdDirEnv);
    return dir.isEmpty() ? QString::fromLatin1(kByIdDir) : QString::fromLocal8Bit(dir);
}

QList<ByIdLink> ByIdLinks()
{
    QList<ByIdLink> links;
    const QDir dir(ByIdDir());
    for (const QFileInfo &entry : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!entry.isSymLink())
            continue;
        links.append({entry.absoluteFilePath(), entry.fileName(), entry.canonicalFilePath()});
    }
    return links;
}

QString ByIdPathOf(const std::string &device)
{
    const QString target = QFileInfo(QString::fromStdString(device)).canonicalFilePath();
    if (target.isEmpty())
        return {};
    for (const ByIdLink &link : ByIdLinks())
        if (link.target == target)
            return link.path;
    return {};
}

QString AdapterName(const QString &linkName)
{
    QString name = linkName;
    static const char *const kBuses[] = {"usb-", "pci-", "platform-"};
    for (const char *bus : kBuses)
        if (name.startsWith(QLatin1String(bus)))
            name = name.mid(int(std::strlen(bus)));
    const qsizetype iface = name.lastIndexOf(QLatin1String("-if"));
    if (iface > 0)
        name.truncate(iface);
    return name.replace('_', ' ');
}
